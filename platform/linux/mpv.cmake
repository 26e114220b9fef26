# The mpv half of the backend: playback, window, input and on-screen drawing. Included by this
# folder's CMakeLists.txt into the vorn_linux target.
target_sources(vorn_linux PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/mpv_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mpv_core.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mpv_media.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mpv_views.cpp)
