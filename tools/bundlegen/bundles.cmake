# The synthetic identity bundles: the generator's interpreter check and the ctest fixture
# "vesk_bundles" that writes the test bundles into ${CMAKE_BINARY_DIR}/bundles. Included from the
# tests and from tools/bundlegen; the first inclusion defines everything.
include_guard(GLOBAL)

set(VESK_BUNDLEGEN_PYTHON "/usr/bin/python3" CACHE FILEPATH "Python 3 with numpy and onnx, for the bundle generator")
set(VESK_BUNDLEGEN "${CMAKE_CURRENT_LIST_DIR}/vesk_bundlegen.py" CACHE INTERNAL "")
set(VESK_BUNDLES_DIR "${CMAKE_BINARY_DIR}/bundles" CACHE INTERNAL "")
file(GLOB _vesk_bundlegen_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/*.py")
set(VESK_BUNDLEGEN_SOURCES "${_vesk_bundlegen_sources}" CACHE INTERNAL "")

execute_process(COMMAND "${VESK_BUNDLEGEN_PYTHON}" -c "import numpy, onnx"
                RESULT_VARIABLE _vesk_py_rc OUTPUT_QUIET ERROR_QUIET)
find_program(VESK_FFMPEG ffmpeg)
if(_vesk_py_rc EQUAL 0 AND VESK_FFMPEG)
  set(VESK_BUNDLEGEN_OK ON CACHE INTERNAL "")
else()
  set(VESK_BUNDLEGEN_OK OFF CACHE INTERNAL "")
  message(WARNING "bundle generator unavailable (${VESK_BUNDLEGEN_PYTHON} without numpy/onnx, or no ffmpeg): "
                  "the tests that need generated bundles are not added")
  return()
endif()

# vesk_bundle_fixture(<name> <generator options...>): one bundle of the fixture.
function(vesk_bundle_fixture name)
  add_test(NAME vesk_bundlegen_${name}
           COMMAND "${VESK_BUNDLEGEN_PYTHON}" "${VESK_BUNDLEGEN}" --quiet --out "${VESK_BUNDLES_DIR}/${name}" ${ARGN})
  set_tests_properties(vesk_bundlegen_${name} PROPERTIES FIXTURES_SETUP vesk_bundles LABELS bundlegen)
endfunction()

if(BUILD_TESTING OR VESK_BUILD_TESTS)
  # The test identity: small canvas, raw prior, FeatSynth features, both driver forms, every model,
  # its own audio models.
  vesk_bundle_fixture(small --canvas 320x240 --crop 128 --nt 8 --seed 3 --fs-red --driver both
                      --models all,b1_probe,b1_kp20,b1_kpdyn --audio)
  # Directors whose Session::Run fails once the lower lip is driven 0.02 below its source: idle and
  # warm-up frames render, loud speech frames fail.
  vesk_bundle_fixture(faulty --canvas 320x240 --crop 128 --nt 8 --seed 5 --models b1,b24_fp32 --audio --fail-open 0.02)
  # A one-frame identity: every frame plays driver frame 0.
  vesk_bundle_fixture(nt1 --canvas 160x120 --crop 64 --nt 1 --seed 6 --models b1 --audio)
  # Directors whose warp samples through GridSample configurations the load-time GridSampleFast
  # rewrite must leave alone, and one with GridSampleFast baked in.
  vesk_bundle_fixture(gsvariants --canvas 160x120 --crop 64 --nt 4 --seed 7
                      --models b1,b1_gszeros,b1_gsnomode,b1_gsalign,b1_gsbaked)
  # Directors the load-time rewrites must refuse or adapt to: two cubic x2 candidates, off-by-a-hair
  # head scales, two Concats reading P_rgb, a cone value read outside the cone, a warp recombination
  # with two exits.
  vesk_bundle_fixture(rwvariants --canvas 160x120 --crop 64 --nt 4 --seed 8
                      --models b1,b1_hc2cand,b1_hcscale,b1_cone2cat,b1_coneesc,b1_warp2exit)
  # An identity with all four teeth members (the bank of its own mouth, the BlendHead members) and a
  # lip template with its map.
  vesk_bundle_fixture(teeth --canvas 320x240 --crop 128 --nt 8 --seed 8 --models b1 --teeth)
  # The fused m4b director the fp16 convolution backend runs, at batch 1 and batch 4 (crop 512 only).
  vesk_bundle_fixture(fused --canvas 640x480 --crop 512 --nt 3 --seed 9 --models b1_fused,b4_fused)
  # The unified layout with an HEVC prior, M authored on another canvas, and its IMX container.
  vesk_bundle_fixture(unified --canvas 320x240 --crop 128 --nt 8 --seed 4 --prior hevc --unified
                      --msrc 640x480 --imx "${VESK_BUNDLES_DIR}/unified.imx")
endif()
