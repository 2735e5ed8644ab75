function(vesk_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)
  if(VESK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
