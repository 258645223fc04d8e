#include "recordings/recording_names.hpp"

#include "instruments/instrument_models.hpp"

namespace voxapp {

std::string unit_type_code(std::uint8_t device_class) {
    if (device_class < kInstrumentModelCodes.size()) {
        return std::to_string(kInstrumentModelCodes[device_class]);
    }
    return device_class == 11 ? "208" : "";
}

std::string recording_file_name(const UnitIdentity& unit, TimePoint start) {
    return unit_type_code(unit.device_class) + "-" + std::to_string(unit.serial_number) + "-" +
           format_local_time_point(start, "%Y%m%d_%H_%M_%S") + ".MP4";
}

std::string local_file_name(const std::string& file_name, std::uint64_t id) {
    const std::size_t cut = file_name.size() >= 4 ? file_name.size() - 4 : file_name.size();
    return file_name.substr(0, cut) + "-" + std::to_string(id) + file_name.substr(cut);
}

std::string video_id_text(std::uint64_t id) {
    const std::string digits = std::to_string(id);
    switch (digits.size()) {
        case 6:
            return "VI" + digits;
        case 7:
            return "V" + digits;
        default:
            return digits.size() <= 5 ? "VID" + digits : digits;
    }
}

std::string remote_file_name(const std::string& file_name, std::uint64_t video_id) {
    const std::string base =
        file_name.size() >= 4 ? file_name.substr(0, file_name.size() - 4) : std::string();
    return base + "_" + video_id_text(video_id) + ".MP4";
}

}  // namespace voxapp
