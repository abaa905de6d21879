# Compiler and linker settings shared by every kelhash target.

if(KELHASH_SANITIZE)
  add_compile_options(-fsanitize=${KELHASH_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KELHASH_SANITIZE})
endif()

function(kelhash_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${KELHASH_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wconversion -Wshadow
      $<$<BOOL:${KELHASH_WERROR}>:-Werror>)
  endif()
endfunction()

# The library needs no C++ runtime: no exceptions, no RTTI, no thread-safe
# statics (it has no function-local statics that need a guard).
function(kelhash_runtime_free target)
  if(NOT MSVC)
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>)
  endif()
endfunction()

function(kelhash_shared_link_options target)
  if(WIN32)
    if(MINGW)
      target_link_options(${target} PRIVATE -static-libgcc)
    endif()
    return()
  endif()
  if(APPLE)
    return()
  endif()
  target_link_options(${target} PRIVATE
    -static-libgcc
    -Wl,--as-needed
    -Wl,--exclude-libs,ALL
    # Calls and references between the library's own functions bind inside
    # the library: with a second copy loaded earlier into the process, each
    # copy still runs its own code on its own buffers.
    -Wl,-Bsymbolic
    -Wl,-z,noexecstack
    -Wl,-z,relro,-z,now)
  # A sanitized library resolves the sanitizer runtime from the executable.
  if(NOT KELHASH_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
