// The page vpihost serve shows at "/", embedded at build time (cmake/embed_files.cmake): the
// page's own files and the chart library from the npm lock file. Nothing is fetched at run time.
#pragma once

#include <span>
#include <string_view>

namespace host::site {

struct WebAsset {
    std::string_view path;  // where it is served: "/", "/assets/app.js"
    std::string_view type;  // its Content-Type
    std::string_view body;
};

// Every embedded file, "/" first.
std::span<const WebAsset> WebAssets();

}  // namespace host::site
