# Applies the project's warning set to one of its own targets; never to consumers' targets.
function(korvel_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${KORVEL_WARNINGS_AS_ERRORS}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
      $<$<BOOL:${KORVEL_WARNINGS_AS_ERRORS}>:-Werror>)
  endif()
endfunction()
