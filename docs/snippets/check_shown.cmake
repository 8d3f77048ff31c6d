# cmake -DPAGE=page.md -P check_shown.cmake FILE...
# Fails unless PAGE shows each FILE whole, as a ```cpp block.
file(READ ${PAGE} page)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 4 ${last})
  file(READ "${CMAKE_ARGV${i}}" code)
  string(FIND "${page}" "```cpp\n${code}```\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${PAGE} does not show ${CMAKE_ARGV${i}} as it is")
  endif()
endforeach()
message("${PAGE} shows every snippet as compiled")
