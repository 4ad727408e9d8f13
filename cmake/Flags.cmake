# Compiler settings for the whole project.

# Bit-identical results everywhere: no fused multiply-add contraction.
add_compile_options(-ffp-contract=off)

# GCC 12 leaves the element loops scalar at -O2; -O3 vectorises them.
set(CMAKE_CXX_FLAGS_RELEASE "-O3 -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O3 -g -DNDEBUG")

if(RK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Warnings are errors in our own code (not in third-party headers).
function(rk_own_code target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  if(WIN32)
    # GCC warns when a friend repeats a dllimport declaration; the import stays in force.
    target_compile_options(${target} PRIVATE -Wno-attributes)
  endif()
endfunction()

if(WIN32)
  # A C99 printf (%zu, %lld) rather than the system's.
  add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
  # Libraries and programs carry their own C and C++ runtime, so that they need only system DLLs.
  add_link_options(-static)
endif()
