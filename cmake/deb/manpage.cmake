# cmake -DPROGRAM=<program> -DSUMMARY=<text> -DVERSION=<version> -DOUTPUT=<page.1.gz>
#       -P manpage.cmake
# A program's manual page from its --help, so that the two never disagree:
# the usage lines as the synopsis, the rest as the description, as printed.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed (${status})")
endif()
get_filename_component(name ${PROGRAM} NAME)
string(TOUPPER ${name} title)
# For roff, a backslash is \e and a line may not start with a request's dot
# or quote.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(FIND "${help}" "\n\n" end)
string(SUBSTRING "${help}" 0 ${end} synopsis)
math(EXPR end "${end} + 2")
string(SUBSTRING "${help}" ${end} -1 description)
string(REGEX REPLACE "^usage: " "" synopsis "${synopsis}")
string(REGEX REPLACE "\n       " "\n" synopsis "${synopsis}")
string(REGEX REPLACE "\n+$" "" description "${description}")
get_filename_component(page ${OUTPUT} NAME_WLE)
set(roff "${CMAKE_CURRENT_BINARY_DIR}/${page}")
file(WRITE ${roff} ".TH ${title} 1 \"\" \"vek-ipc ${VERSION}\" \"User Commands\"
.SH NAME
${name} \\- ${SUMMARY}
.SH SYNOPSIS
.nf
${synopsis}
.fi
.SH DESCRIPTION
.nf
${description}
.fi
")
execute_process(COMMAND gzip -9 -n -c ${roff} OUTPUT_FILE ${OUTPUT} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${roff})
