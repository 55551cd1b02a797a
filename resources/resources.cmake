# How the firmware image, the manifest and the version record are joined to
# the executable.
function(scanfw_attach_image target)
endfunction()
