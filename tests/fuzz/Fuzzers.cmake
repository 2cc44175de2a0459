# libFuzzer targets, built with clang by scripts/fuzz and scripts/sanitize. They compile only the
# code under test, so they need none of the program's other libraries.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZORVEL_FUZZ needs clang (for example CXX=clang++-19)")
endif()

add_executable(whisper_json_fuzzer
    ${CMAKE_CURRENT_LIST_DIR}/WhisperJsonFuzzer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WhisperJsonProperties.cpp
    ${PROJECT_SOURCE_DIR}/src/pipeline/WhisperJson.cpp
    ${PROJECT_SOURCE_DIR}/src/support/Error.cpp
    ${PROJECT_SOURCE_DIR}/src/support/ZorvelError.cpp)
target_include_directories(whisper_json_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(whisper_json_fuzzer PRIVATE nlohmann_json::nlohmann_json zorvel_warnings)
target_compile_options(whisper_json_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
target_link_options(whisper_json_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
