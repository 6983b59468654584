# kn_embed_resources(<target> RESOURCE <name> <file> [BASE64] [RESOURCE ...])
# Placeholder until the resource step lands: records nothing.
function(kn_embed_resources target)
endfunction()
