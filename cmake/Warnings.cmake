# Strict warnings for every target of the project. CBMP_WERROR turns them into errors; the presets
# and CI switch it on.
option(CBMP_WERROR "Treat compiler warnings as errors" OFF)

function(cbmp_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
    if(CBMP_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion
                                              -Wshadow -Wcast-align -Wold-style-cast)
    if(CBMP_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
