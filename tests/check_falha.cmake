# The exception class hosts catch and the one the library throws are one class:
# the public header and the internal one define it in the same words.
foreach(file IN ITEMS PUBLIC INTERNAL)
  file(READ ${${file}} text)
  string(REGEX MATCH "// wsr37100-falha begin.*// wsr37100-falha end" block_${file} "${text}")
  if(block_${file} STREQUAL "")
    message(FATAL_ERROR "${${file}}: no Falha definition block")
  endif()
endforeach()
if(NOT block_PUBLIC STREQUAL block_INTERNAL)
  message(FATAL_ERROR "Falha differs between ${PUBLIC} and ${INTERNAL}")
endif()
