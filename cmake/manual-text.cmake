# Renders the manual page PAGE (man(7)) as plain ASCII text with CR LF line
# ends, TEXT: the manual of the Windows archive, for any text editor there.
#
#   cmake -DGROFF=groff -DPAGE=docs/authorstamp.1 -DTEXT=authorstamp.txt -P cmake/manual-text.cmake
#
# -P-cbou: no overstriking for bold, italics or underlining, no escape
# sequences; just the letters.
execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou ${PAGE}
                OUTPUT_VARIABLE text RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR text STREQUAL "")
  message(FATAL_ERROR "${GROFF} could not render ${PAGE} (status ${status})")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${TEXT}.new "${text}")
file(RENAME ${TEXT}.new ${TEXT})
