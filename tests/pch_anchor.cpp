// Compiled only to build the tests' precompiled header; GoogleTest's main makes it a program.
