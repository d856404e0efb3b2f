# lmx_embed_text(LIST SYMBOL SOURCE NAME FIRST_LINE): turns a Perl text into
# the C++ constant lmx::SYMBOL and appends the generated file to LIST.
function(lmx_embed_text list symbol source name first_line)
  set(output ${LMX_GENERATED_DIR}/${symbol}.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${LMX_PERL} ${CMAKE_SOURCE_DIR}/tools/embed_text.pl ${CMAKE_SOURCE_DIR}/${source}
            ${output} ${symbol} ${name} ${first_line}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source} ${CMAKE_SOURCE_DIR}/tools/embed_text.pl
    COMMENT "Embedding ${source}")
  set(${list} ${${list}} ${output} PARENT_SCOPE)
endfunction()
