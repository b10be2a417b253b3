# One place that applies the language level, the warning flags and the
# optional sanitizers to every target of the project.
function(velk_target_setup target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(VELK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # The evaluator's hot paths cross files (operators, locals, buffers): a
  # release build optimises across them at link time.
  if(VELK_LTO AND CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT VELK_SANITIZE)
    set_property(TARGET ${target} PROPERTY INTERPROCEDURAL_OPTIMIZATION TRUE)
  endif()
  if(VELK_PGO STREQUAL "generate")
    target_compile_options(${target} PRIVATE -fprofile-generate=${VELK_PGO_DIR} -fprofile-update=atomic)
    target_link_options(${target} PRIVATE -fprofile-generate=${VELK_PGO_DIR})
  elseif(VELK_PGO STREQUAL "use")
    target_compile_options(${target} PRIVATE -fprofile-use=${VELK_PGO_DIR} -fprofile-partial-training -Wno-missing-profile)
    target_link_options(${target} PRIVATE -fprofile-use=${VELK_PGO_DIR})
  endif()
  if(VELK_FUZZ)
    # Coverage for libFuzzer in every library; the fuzz executables add the
    # libFuzzer runtime itself (fuzz/CMakeLists.txt).
    target_compile_options(${target} PUBLIC -fsanitize=fuzzer-no-link,address,undefined
                                            -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PUBLIC -fsanitize=address,undefined)
  elseif(VELK_SANITIZE)
    target_compile_options(${target} PUBLIC -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PUBLIC -fsanitize=address,undefined)
  endif()
endfunction()

# The command-line programs carry the C++ runtime inside: a compile or a run
# of a small model then starts without loading and relocating the shared
# C++ library, about half a millisecond each time. The sanitizers need the
# shared runtime.
function(velk_program_setup target)
  velk_target_setup(${target})
  if(NOT VELK_SANITIZE AND NOT VELK_FUZZ)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
