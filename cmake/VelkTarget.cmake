# One place that applies the language level, the warning flags and the
# optional sanitizers to every target of the project.
function(velk_target_setup target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(VELK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
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
