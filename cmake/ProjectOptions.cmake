# Every target of the project links tralux_options: language level, warnings (errors with
# TRALUX_WERROR) and the floating-point rules that keep result files identical on every machine.
add_library(tralux_options INTERFACE)
target_compile_features(tralux_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(tralux_options INTERFACE
  -Wall -Wextra
  # Sample arithmetic must round exactly as written: no fused multiply-add, no fast-math.
  -ffp-contract=off -fno-fast-math)
target_compile_definitions(tralux_options INTERFACE _GLIBCXX_ASSERTIONS)
if(TRALUX_WERROR)
  target_compile_options(tralux_options INTERFACE -Werror)
endif()

if(TRALUX_SANITIZE)
  target_compile_options(tralux_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(tralux_options INTERFACE -fsanitize=address,undefined)
endif()

# The libraries that run over every sample. Unoptimised under the sanitizers they run ten times
# slower than the checks need, so there they are built with -O1, which the sanitizers support
# fully; the rest (the tests among it) stays unoptimised, which builds faster.
function(tralux_sample_code target)
  if(TRALUX_SANITIZE)
    target_compile_options(${target} PRIVATE -O1)
  endif()
endfunction()
