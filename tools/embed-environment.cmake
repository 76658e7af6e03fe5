# Writes the environment sources as C++ string literals, one {name, text} entry per file, in the
# order given: cmake -DOUT=<file> -DSRC_DIR=<dir> -DFILES="a.kel;b.kel" -P embed-environment.cmake
set(content "// Generated from the environment sources at build time; do not edit.\n")
foreach(name ${FILES})
  file(READ "${SRC_DIR}/${name}" text)
  string(FIND "${text}" ")KEL\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${name} holds the literal's closing sequence")
  endif()
  string(APPEND content "{\"${name}\", R\"KEL(${text})KEL\"},\n")
endforeach()
file(WRITE "${OUT}.tmp" "${content}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
