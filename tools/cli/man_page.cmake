# Writes the tool's man page from its own --help (help2man), each command's --help as a section of its own,
# the HTTP API's routes and problem codes from the service's OpenAPI description, and the sections of
# wsr37100.h2m. cmake -DTOOL=... -DHELP2MAN=... -DOPENAPI=openapi.json -DOUTPUT=wsr37100.1 -P man_page.cmake
# -> OUTPUT.gz
# roff: a backslash is \e, a line starting with . or ' needs \&.
function(roff_escaped variable text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${variable} "${text}" PARENT_SCOPE)
endfunction()

set(include_file "${OUTPUT}.h2m")
file(WRITE ${include_file} "[COMMANDS]\n")
foreach(command weigh detect simulate ports demo serve browser-policy)
  execute_process(COMMAND ${TOOL} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${command} --help failed")
  endif()
  roff_escaped(help "${help}")
  file(APPEND ${include_file} ".SS ${command}\n.nf\n${help}.fi\n")
endforeach()

file(READ ${OPENAPI} api)
file(APPEND ${include_file} "[HTTP API]\n.B wsr37100 serve\nanswers these requests; every path also answers HEAD "
  "(the event streams excepted) and OPTIONS:\n")
string(JSON paths LENGTH "${api}" paths)
math(EXPR last "${paths} - 1")
foreach(i RANGE ${last})
  string(JSON path MEMBER "${api}" paths ${i})
  string(JSON summary GET "${api}" paths "${path}" get summary)
  roff_escaped(summary "${summary}")
  file(APPEND ${include_file} ".TP\n.B GET ${path}\n${summary}.\n")
endforeach()
string(JSON problems GET "${api}" components responses Problem description)
string(REGEX REPLACE "^[^:]*: " "" problems "${problems}")  # the codes by status
roff_escaped(problems "${problems}")
file(APPEND ${include_file} ".PP\nErrors are RFC 9457 problem details (application/problem+json) with a stable code, "
  "explained at /problems/CODE; by status: ${problems}.\n.PP\nWith \\fB\\-\\-token\\-file\\fR (or token_file), every /v1 path "
  "and /metrics ask for 'Authorization: Bearer TOKEN', or access_token=TOKEN in the query for an EventSource.\n"
  ".PP\nThe whole API, as an OpenAPI 3.1 description: "
  "GET /v1/openapi.json, or the file share/wsr37100/openapi.json.\n")

file(APPEND ${include_file} "[FILES]\nThe daily log logWSR37100_DDMM.txt, in the folder given by --log-dir, in dados beside the program\n"
  "when that folder exists, else in $XDG_STATE_HOME/wsr37100 or ~/.local/state/wsr37100; beside it\n"
  "logWSR37100.lock (mode 0660), the file the writers of the log take their turns on.\n")
get_filename_component(here ${CMAKE_SCRIPT_MODE_FILE} DIRECTORY)
execute_process(COMMAND ${HELP2MAN} --no-info --section=1 --include=${include_file} --include=${here}/wsr37100.h2m
    "--name=read the weight from a retail scale on a serial port" --output=${OUTPUT} ${TOOL}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed")
endif()
execute_process(COMMAND gzip -9nf ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed")
endif()
