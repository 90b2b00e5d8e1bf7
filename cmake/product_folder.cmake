# The folder name of a product's build tree and output folder: the name and
# version with every run of other characters made one dash. product.cmake
# includes it; scripts/build-product.sh runs it as a script to name the tree:
#   cmake -DNAME=... -DVERSION=... -P cmake/product_folder.cmake
function(vorbel_product_folder out name version)
  string(REGEX REPLACE "[^A-Za-z0-9._]+" "-" folder "${name}-${version}")
  string(REGEX REPLACE "^[-.]+|-+$" "" folder "${folder}")
  if(folder STREQUAL "")
    set(folder product)
  endif()
  set(${out} ${folder} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  vorbel_product_folder(folder "${NAME}" "${VERSION}")
  message("${folder}")
endif()
