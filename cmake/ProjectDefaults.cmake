# Per-target defaults: warnings, floating-point rules and the sanitizers.

# Flags every compiled target of this project shares; the consumer test reuses
# the sanitizer part to build a client the way this tree was built.
set(KALVIO_SANITIZER_FLAGS "")
if(KALVIO_SANITIZE)
  set(KALVIO_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
                             -fno-omit-frame-pointer)
endif()

# project_target_defaults(<target>)
#   Warnings on; no fused multiply-add contraction, since the last bit of a
#   float decides some results; sanitizers when KALVIO_SANITIZE is on.
function(project_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -ffp-contract=off
                                           ${KALVIO_SANITIZER_FLAGS})
  target_link_options(${target} PRIVATE ${KALVIO_SANITIZER_FLAGS})
endfunction()
