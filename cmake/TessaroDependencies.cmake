# Every dependency comes from a Debian package (see scripts/setup). The kit itself needs only the
# first block; cpp-httplib, GoogleTest, Google Benchmark and OpenSSL are for the sandbox and tests.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(date REQUIRED)
find_package(CURL REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium>=1.0.18)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)

if(TESSARO_BUILD_SANDBOX OR TESSARO_BUILD_BENCH)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
endif()
if(TESSARO_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  # Test certificate authorities for the HTTPS transport tests.
  find_package(OpenSSL REQUIRED)
endif()
if(TESSARO_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
