// Any bytes as the content of a settings file: parsing and taking the members never crash, and whatever was
// taken saves as valid JSON again.
#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config_ctrl.h"
#include "settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rapidjson::Document doc;
    std::string reason;
    if (!parse_settings_text(reinterpret_cast<const char*>(data), size, &doc, &reason)) return 0;
    config_ctrl cfg;
    cfg.apply_common_info(doc);
    cfg.apply_net_info(doc);
    cfg.apply_mydog_info(doc);
    for (const std::string& text : {cfg.common_info_text(), cfg.net_info_text(), cfg.mydog_info_text()}) {
        rapidjson::Document again;
        if (!parse_settings_text(text.data(), text.size(), &again, &reason)) abort();
    }
    return 0;
}
