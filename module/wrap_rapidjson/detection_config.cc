#include "wrap_rapidjson/detection_config.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cstring>

#include "wrap_rapidjson/json_fields.h"

namespace nerova {
namespace module {

NerovaError ReadDetectionConfig(Model& model, DetectionConfig* config, std::string* why) {
    rapidjson::Document doc;
    const NerovaError err = json::ReadInferenceJson(model, doc);
    if (err != NEROVA_OK) return err;
    if (!doc.IsObject()) return NEROVA_ERR_JSON;
    const json::Value* section = json::Member(doc, "Detection");
    if (!section) return NEROVA_OK;
    const auto refuse = [why](const char* reason) {
        *why = reason;
        return NEROVA_ERR_JSON;
    };
    if (!section->IsObject()) return refuse("\"Detection\" is not an object");
    DetectionConfig read = *config;
    for (auto it = section->MemberBegin(); it != section->MemberEnd(); ++it) {
        const char* key = it->name.GetString();
        const json::Value& v = it->value;
        if (std::strcmp(key, "CandidatePool") == 0) {
            if (!v.IsInt() || v.GetInt() < 0 || v.GetInt() > kMaxCandidatePool)
                return refuse("\"CandidatePool\" is not an integer from 0 to 4096");
            read.candidate_pool = v.GetInt();
        } else if (std::strcmp(key, "OverlapMerge") == 0) {
            const std::string name = v.IsString() ? json::Text(v) : "";
            if (name == "OVERLAP_DROP")
                read.overlap_merge = 0;
            else if (name == "OVERLAP_BLEND")
                read.overlap_merge = 1;
            else
                return refuse("\"OverlapMerge\" is not \"OVERLAP_DROP\" or \"OVERLAP_BLEND\"");
        } else if (std::strcmp(key, "NmsThreshold") == 0) {
            if (!v.IsNumber() || !(v.GetDouble() >= 0.0 && v.GetDouble() <= 1.0))
                return refuse("\"NmsThreshold\" is not a number from 0 to 1");
            read.nms_threshold = static_cast<float>(v.GetDouble());
        } else if (std::strcmp(key, "ConfirmTileFaces") == 0) {
            if (!v.IsInt() || v.GetInt() < 0 || v.GetInt() > kMaxConfirmTileFaces)
                return refuse("\"ConfirmTileFaces\" is not an integer from 0 to 256");
            read.confirm_tile_faces = v.GetInt();
        } else if (std::strcmp(key, "Landmarks") == 0) {
            const char* bad =
                "\"Landmarks\" is not a list of up to 64 distinct names of 1 to 63 "
                "characters";
            if (!v.IsArray() || v.Size() > kMaxLandmarks) return refuse(bad);
            std::vector<std::string> names;
            for (const json::Value& e : v.GetArray()) {
                if (!e.IsString() || e.GetStringLength() == 0 ||
                    e.GetStringLength() > kMaxLandmarkName ||
                    std::strlen(e.GetString()) != e.GetStringLength())
                    return refuse(bad);
                names.emplace_back(e.GetString());
                if (std::count(names.begin(), names.end() - 1, names.back()) > 0)
                    return refuse(bad);
            }
            read.landmarks = std::move(names);
        } else {
            // A misspelt key would otherwise leave the model with selection it never asked for.
            *why = std::string("\"Detection\" has an unknown key \"") + key + "\"";
            return NEROVA_ERR_JSON;
        }
    }
    *config = read;
    return NEROVA_OK;
}

}  // namespace module
}  // namespace nerova
