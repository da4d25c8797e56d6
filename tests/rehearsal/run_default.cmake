# Runs dravlin-sim without arguments and checks its exit status and the key lines of the
# transcript. Usage: cmake -DPROGRAM=<dravlin-sim> -P run_default.cmake
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
