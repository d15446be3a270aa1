# Warnings that every Velkin target compiles with.
add_library(velkin_warnings INTERFACE)
if(MSVC)
  target_compile_options(velkin_warnings INTERFACE /W4 /permissive-)
  target_compile_definitions(velkin_warnings INTERFACE _CRT_SECURE_NO_WARNINGS)
else()
  target_compile_options(velkin_warnings INTERFACE -Wall -Wextra)
endif()
