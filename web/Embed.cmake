# Writes OUT: a C++ source holding each of FILES (separated by |) as bytes, found by its file
# name through ts::web::PageAsset.
set(body "// Made by web/Embed.cmake from the page's files.\n#include \"web/PageAssets.h\"\n\nnamespace ts::web {\nnamespace {\n")
string(REPLACE "|" ";" FILES "${FILES}")
set(table "")
set(n 0)
foreach(f ${FILES})
    get_filename_component(name ${f} NAME)
    file(READ ${f} hex HEX)
    string(LENGTH "${hex}" len)
    math(EXPR size "${len} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    string(APPEND body "const char k${n}[] = {${bytes} 0};\n")
    string(APPEND table "        {\"${name}\", std::string_view(k${n}, ${size})},\n")
    math(EXPR n "${n} + 1")
endforeach()
string(APPEND body "}  // namespace\n\nstd::optional<std::string_view> PageAsset(std::string_view name) {\n"
       "    static const struct {\n        const char* name;\n        std::string_view bytes;\n    } kAssets[] = {\n"
       "${table}    };\n    for (const auto& a : kAssets)\n        if (name == a.name) return a.bytes;\n"
       "    return std::nullopt;\n}\n\n}  // namespace ts::web\n")
file(WRITE ${OUT}.tmp "${body}")
file(RENAME ${OUT}.tmp ${OUT})
