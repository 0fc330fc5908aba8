# Run by CPack before it zips: gives the staged files the commit's time
# (SOURCE_DATE_EPOCH, set by scripts/package), so that the same commit packs to
# the same ZIP.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    file(GLOB_RECURSE staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
    execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${staged} COMMAND_ERROR_IS_FATAL ANY)
endif()
