# The registry (src/contexts/) holds data and lifetimes only: none of its
# files may include a header of a layer above it.
file(GLOB files ${SRC}/contexts/*)
foreach(f ${files})
  file(STRINGS ${f} upward REGEX "^#include \"(net|protocol|control|cache)/")
  if(upward)
    list(APPEND found "${f}: ${upward}")
  endif()
endforeach()
if(found)
  message(FATAL_ERROR "src/contexts includes an upper layer:\n${found}")
endif()
