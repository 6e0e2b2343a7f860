# Delay-loaded imports for the Windows programs. The loader resolves a program's ordinary imports
# before main runs, searching the program's own folder first for every library that is not a
# KnownDLL; a library planted beside the elevated tool would run with its rights. A delay-loaded
# library is loaded at its first call instead, after RestrictLibrarySearch has limited the search
# to the system folder (mingw-w64's __delayLoadHelper2 calls LoadLibraryA with the name).
#
# rk_delay_import(<var> <lib> <DLL name>): makes <build>/delay/lib<lib>_delay.a from the
# toolchain's import library (every function it imports) and sets <var> to its path.
function(rk_delay_import var lib dll)
  find_library(RK_IMPORT_${lib} NAMES ${lib} REQUIRED)
  find_program(RK_DLLTOOL NAMES ${RK_MINGW}-dlltool x86_64-w64-mingw32-dlltool REQUIRED)
  find_program(RK_NM NAMES ${RK_MINGW}-nm x86_64-w64-mingw32-nm REQUIRED)
  set(dir ${CMAKE_BINARY_DIR}/delay)
  set(out ${dir}/lib${lib}_delay.a)
  if(NOT EXISTS ${out} OR ${RK_IMPORT_${lib}} IS_NEWER_THAN ${out})
    file(MAKE_DIRECTORY ${dir})
    execute_process(COMMAND ${RK_NM} ${RK_IMPORT_${lib}} OUTPUT_VARIABLE symbols ERROR_QUIET
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@?$]+" imports "${symbols}")
    list(TRANSFORM imports REPLACE " I __imp_" "")
    list(REMOVE_DUPLICATES imports)
    list(SORT imports)
    list(JOIN imports "\n" exports)
    file(WRITE ${dir}/${lib}.def "LIBRARY ${dll}\nEXPORTS\n${exports}\n")
    execute_process(COMMAND ${RK_DLLTOOL} --input-def ${dir}/${lib}.def --dllname ${dll}
                            --output-delaylib ${out} COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(${var} ${out} PARENT_SCOPE)
endfunction()
