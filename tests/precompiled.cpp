// The object that carries the tests' precompiled header (tests/CMakeLists.txt); it defines
// nothing itself.
