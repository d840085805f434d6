# The README's kxctl command list is what `kxctl help --markdown` prints.
# Usage: cmake -DKXCTL=path -DREADME=path -P kxctl_readme.cmake
execute_process(COMMAND ${KXCTL} help --markdown OUTPUT_VARIABLE list RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "kxctl help --markdown failed: ${result}")
endif()
file(READ ${README} readme)
string(FIND "${readme}" "<!-- kxctl help --markdown -->\n${list}<!-- end of kxctl help --markdown -->"
  at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md's kxctl command list differs from `kxctl help --markdown`; "
    "paste its output between the two markers")
endif()
