# kn_package_note(<target>): gives an executable its .note.package ELF note.
# Placeholder until the note step lands.
function(kn_package_note target)
endfunction()
