#include "LslOutletSet.h"

#include "DeviceModel.h"

namespace {
bool isActive(const DeviceModel& model, unsigned i)
{
    return model.signal_name(i) != "uSD" && model.signal_mode(i) != 0;
}
}  // namespace

LslOutletSet::LslOutletSet(DeviceModel* model, LslLibrary* library)
    : model_(model), lsl_(library ? library : &LslLibrary::instance())
{
}

LslOutletSet::~LslOutletSet()
{
    closeOutlets();
}

std::string LslOutletSet::streamName(const std::string& description, const std::string& signalName, unsigned index)
{
    return description + "_" + signalName + "_" + std::to_string(index);
}

void LslOutletSet::openOutlets()
{
    if (!model_ || !lsl_->available()) return;
    const unsigned blockRate = model_->frequency();
    const std::string description = model_->description();
    for (unsigned i = 0; i < model_->signal_count(); ++i) {
        if (!isActive(*model_, i)) continue;
        const std::string name = streamName(description, model_->signal_name(i), i);
        const unsigned rate = model_->signal_samples(i) * blockRate;
        lsl_streaminfo info = lsl_->create_streaminfo(name.c_str(), model_->signal_name(i).c_str(),
                                                      int(model_->signal_channels(i)), double(rate),
                                                      LslLibrary::cft_float32, name.c_str());
        // liblsl refuses some stream descriptions (no channels, for one); such a signal is not streamed.
        if (!info) continue;
        Outlet outlet;
        outlet.channels = lsl_->get_channel_count(info);
        outlet.handle = lsl_->create_outlet(info, 0, 360);
        lsl_->destroy_streaminfo(info);
        if (!outlet.handle) continue;
        if (!outlets_.emplace(i, outlet).second) lsl_->destroy_outlet(outlet.handle);
    }
}

void LslOutletSet::pushBlock(const std::vector<double>& data)
{
    if (!model_) return;
    std::size_t position = 0;
    for (unsigned i = 0; i < model_->signal_count(); ++i) {
        if (!isActive(*model_, i)) continue;
        const std::size_t c = model_->signal_channels(i);
        const std::size_t n = model_->signal_samples(i);
        auto it = outlets_.find(i);
        // A short vector (a device that changed its signals mid-run) must not be read past its end.
        if (it != outlets_.end() && position + c * n <= data.size() && std::size_t(it->second.channels) == c) {
            sample_.resize(c);
            for (std::size_t s = 0; s < n; ++s) {
                const double* values = data.data() + position + s * c;
                for (std::size_t k = 0; k < c; ++k) sample_[k] = float(values[k]);
                lsl_->push_sample_ftp(it->second.handle, sample_.data(), 0.0, 1);
            }
        }
        position += c * n;
    }
}

void LslOutletSet::closeOutlets()
{
    for (auto& entry : outlets_) lsl_->destroy_outlet(entry.second.handle);
    outlets_.clear();
}
