# Applies the project's warning set to one of its own targets; never to consumers' targets.
function(korvel_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${KORVEL_WARNINGS_AS_ERRORS}>:/WX>)
    return()
  endif()
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
    $<$<BOOL:${KORVEL_WARNINGS_AS_ERRORS}>:-Werror>)
  # GCC 12 reports -Wrestrict inside libstdc++'s own std::string concatenation when inlining
  # at -O3 (GCC bug 105329), for code that has no overlap at all.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()
