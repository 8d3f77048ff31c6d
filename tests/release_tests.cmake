# Reads back from the built Kestrin.exe what a release ships: the version
# resource (from project(VERSION)), the manifest, only system DLLs, no link
# time in the header and, in Release and MinSizeRel builds, no symbols.
# Needs MinGW-w64's objdump and windres and python3, not Wine.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND AND NOT MSVC AND CMAKE_OBJDUMP)
  add_test(NAME windows_program_release_checks
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/check_windows_program.py
                   $<TARGET_FILE:Kestrin> --version ${PROJECT_VERSION}
                   --stripped $<IF:$<CONFIG:Release,MinSizeRel>,yes,no>
                   --format $<IF:$<STREQUAL:${CMAKE_SYSTEM_PROCESSOR},x86>,pei-i386,pei-x86-64>
                   --objdump ${CMAKE_OBJDUMP} --windres ${CMAKE_RC_COMPILER})
  # Runs where Wine cannot: it only reads the file.
  set_tests_properties(windows_program_release_checks PROPERTIES
                       PASS_REGULAR_EXPRESSION "release checks passed" LABELS without-wine)
else()
  message(STATUS "Not checking Kestrin.exe's resources: needs python3 and MinGW-w64's binutils")
endif()
