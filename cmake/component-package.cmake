# cmake -DMODULE=<dll> -DOUTPUT=<.fb2k-component> -DEPOCH=<seconds> -DZIP=<zip>
#       -P component-package.cmake
# The component package: the module alone at the root of a zip archive, the
# same bytes from any build of the same module. The entry holds only what zip
# cannot leave out, each fixed: its time (EPOCH, written in UTC, as zip's
# entry times are local), its mode (0644, not the builder's umask). -X leaves
# out the owner and the other times.
foreach(argument MODULE OUTPUT EPOCH ZIP)
  if(NOT DEFINED ${argument})
    message(FATAL_ERROR "component-package.cmake: -D${argument}=... is missing")
  endif()
endforeach()
get_filename_component(name ${MODULE} NAME)
set(staging ${OUTPUT}.staging)
file(REMOVE_RECURSE ${staging})
file(REMOVE ${OUTPUT})
file(MAKE_DIRECTORY ${staging})
file(COPY_FILE ${MODULE} ${staging}/${name})
file(CHMOD ${staging}/${name} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# A zip entry's time has two-second steps; zip would round an odd second up,
# cpack's archiver rounds down: down here too.
math(EXPR time "${EPOCH} - ${EPOCH} % 2")
execute_process(COMMAND touch -d @${time} ${staging}/${name} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${ZIP} -X -q ${OUTPUT} ${name}
                WORKING_DIRECTORY ${staging} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${staging})
