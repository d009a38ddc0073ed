# Writes the tool's man page from its own --help (help2man), each command's --help as a section of its own.
# cmake -DTOOL=... -DHELP2MAN=... -DOUTPUT=wsr37100.1 -P man_page.cmake  -> OUTPUT.gz
set(include_file "${OUTPUT}.h2m")
file(WRITE ${include_file} "[COMMANDS]\n")
foreach(command weigh simulate ports demo serve)
  execute_process(COMMAND ${TOOL} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${command} --help failed")
  endif()
  # roff: a backslash is \e, a line starting with . or ' needs \&.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  file(APPEND ${include_file} ".SS ${command}\n.nf\n${help}.fi\n")
endforeach()
file(APPEND ${include_file} "[FILES]\nThe daily log logWSR37100_DDMM.txt, in the folder given by --log-dir, in dados beside the program\n"
  "when that folder exists, else in $XDG_STATE_HOME/wsr37100 or ~/.local/state/wsr37100.\n")
execute_process(COMMAND ${HELP2MAN} --no-info --section=1 --include=${include_file}
    "--name=read the weight from a retail scale on a serial port" --output=${OUTPUT} ${TOOL}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed")
endif()
execute_process(COMMAND gzip -9nf ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed")
endif()
