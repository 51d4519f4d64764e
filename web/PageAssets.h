#pragma once
// The page's files, built into the program (PageAssets.cpp is made by the
// build from web/page/ and the chart library).
#include <optional>
#include <string_view>

namespace ts::web {

// The bytes of the file `name` ("index.html", "app.js", ...); none when
// there is no such file.
std::optional<std::string_view> PageAsset(std::string_view name);

}  // namespace ts::web
