# Compiles one include with a layer's include roots and checks the outcome:
#   cmake -DCOMPILER=... -DROOTS="a;b" -DHEADER=app/x.h -DEXPECT=found|missing -DWORK=dir -P check_include.cmake
# "missing" passes only when the compiler says it cannot find that very header, so an
# unrelated failure (a missing system header, say) does not pass for the rule holding.
string(MAKE_C_IDENTIFIER "${HEADER}" id)
set(probe ${WORK}/probe_${LAYER}_${id}.cpp)
file(WRITE ${probe} "#include \"${HEADER}\"\n")
set(flags "")
foreach(root ${ROOTS})
  list(APPEND flags -I${root})
endforeach()
execute_process(COMMAND ${COMPILER} -std=c++20 -fsyntax-only ${flags} ${probe}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(EXPECT STREQUAL "missing")
  if(status EQUAL 0)
    message(FATAL_ERROR "${LAYER} can include ${HEADER}: the include points up the stack and must not build")
  endif()
  string(FIND "${err}" "${HEADER}: No such file" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${LAYER} including ${HEADER} failed for another reason:\n${err}")
  endif()
else()
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${LAYER} cannot include ${HEADER}:\n${err}")
  endif()
endif()
