# Read by CPack before it packs (packaging/CMakeLists.txt): the build's one
# time for every archive member, and UTC for the zips, whose member times are
# kept in local time.
set(ENV{SOURCE_DATE_EPOCH} ${CPACK_QUENDAL_SOURCE_DATE_EPOCH})
set(ENV{TZ} UTC)
