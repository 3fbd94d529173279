#include "nerova/module_common.h"

namespace nerova {
namespace module {

AbstractAlgorithm::~AbstractAlgorithm() = default;

NerovaError AbstractAlgorithm::Parse(const std::string&, const std::string&) {
    return NEROVA_ERR_NOT_IMPLEMENTED;
}

AbstractParam* AbstractAlgorithm::GetParam() { return nullptr; }

NerovaError AbstractAlgorithm::Init(const NerovaCustomRuntime*) {
    return NEROVA_ERR_NOT_IMPLEMENTED;
}

NerovaError AbstractAlgorithm::DeInit() { return NEROVA_OK; }

NerovaError AbstractAlgorithm::Process(const NerovaFrame*, const std::shared_ptr<AbstractParam>&,
                                       std::shared_ptr<AbstractParam>&) {
    return NEROVA_ERR_NOT_IMPLEMENTED;
}

NerovaError AbstractAlgorithm::ProcessBatch(const std::vector<NerovaFrame*>& frames,
                                            const std::vector<std::shared_ptr<AbstractParam>>& ins,
                                            std::vector<std::shared_ptr<AbstractParam>>& outs) {
    outs.resize(frames.size());
    static const std::shared_ptr<AbstractParam> kNoParam;
    for (size_t i = 0; i < frames.size(); ++i) {
        const NerovaError err = Process(frames[i], i < ins.size() ? ins[i] : kNoParam, outs[i]);
        if (err != NEROVA_OK) return err;
    }
    return NEROVA_OK;
}

std::map<AlgorithmType, std::shared_ptr<AlgorithmCreator>>& GetGlobalAlgorithmCreatorMap() {
    static std::map<AlgorithmType, std::shared_ptr<AlgorithmCreator>> map;
    return map;
}

}  // namespace module
}  // namespace nerova
