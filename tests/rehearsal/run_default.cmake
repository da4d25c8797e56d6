# Runs dravlin-sim as a fresh clone does, without arguments, and checks its exit status and the
# key lines of the transcript; then with an unknown --os name, which must be refused on stderr
# before anything is written. Usage: cmake -DPROGRAM=<dravlin-sim> -DOUT=<dir> -P run_default.cmake
execute_process(COMMAND ${PROGRAM} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "dravlin-sim exited with ${status}\n${err}")
endif()
if(NOT err STREQUAL "")
  message(FATAL_ERROR "dravlin-sim wrote to stderr:\n${err}")
endif()
foreach(expected
    "Dravlin rehearsal on the built-in default machine"
    "Windows XP \\(winxp\\)"
    "Version code:   7"
    "Hijacker DLL:   C:\\\\WINDOWS\\\\system32\\\\msqz32.dll \\(loaded at this boot\\)"
    "Restart requested: ExitWindowsEx 0x6 \\(EWX_REBOOT \\| EWX_FORCE\\)"
    "Ran at start:   C:\\\\PROGRA~1\\\\Dravlin\\\\dravlin.exe"
    "Your computer now is disinfected!!!"
    "file deleted:  C:\\\\WINDOWS\\\\system32\\\\msqz32.dll"
    "Outcome: ")
  if(NOT out MATCHES "${expected}")
    message(FATAL_ERROR "transcript lacks '${expected}':\n${out}")
  endif()
endforeach()

file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${PROGRAM} --os win7 --out ${OUT}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status EQUAL 0 OR NOT out STREQUAL "" OR EXISTS ${OUT}
   OR NOT err MATCHES "^dravlin-sim: .*unknown Windows version 'win7'")
  message(FATAL_ERROR "--os win7 not refused: status ${status}\n${out}\n${err}")
endif()
