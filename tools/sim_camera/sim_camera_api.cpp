#include <mutex>
#include <string>

#include "core/time_point.hpp"
#include "sim_camera/sim_camera.hpp"
#include "sim_camera/sim_camera_parts.hpp"

namespace voxapp::sim {

SimCamera::Reply SimCamera::answer(const Request& request) {
    ++requests_;
    const int forced = forced_status_;
    auto authorization = request.headers.find("authorization");
    const auto proven = [&] {
        std::lock_guard lock(mutex_);
        return auth_.verify(authorization->second, request.method);
    };
    if (forced == 401 || authorization == request.headers.end() || !proven()) {
        return Reply{401, "text/plain", "Unauthorized", true};
    }
    if (request.method == "PUT" || request.method == "POST") {
        const std::size_t query = request.target.find('?');
        std::lock_guard lock(mutex_);
        writes_.push_back({request.method, request.target.substr(0, query), request.body});
    }
    if (forced != 0) {
        return Reply{forced, "text/plain", "Forced status " + std::to_string(forced), false};
    }
    if (const std::size_t oversize = oversize_; oversize > 0 && request.method == "GET") {
        return Reply{200, "application/xml", std::string(oversize, 'x'), false};
    }
    Reply reply = route(request);
    if (malformed_ && reply.status == 200 && reply.content_type == "application/xml") {
        reply.body.resize(reply.body.size() / 2);
    }
    return reply;
}

std::string SimCamera::local_time_text() const {
    TimePoint offset;
    {
        std::lock_guard lock(mutex_);
        offset = clock_offset_;
    }
    return format_local_time_point(system_now() + offset, "%Y-%m-%dT%H:%M:%S%z");
}

SimCamera::Reply SimCamera::route(const Request& request) {
    const std::string path = request.target.substr(0, request.target.find('?'));
    const std::string& method = request.method;
    const std::string xml_head = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    const std::string ns = std::string(" version=\"2.0\" xmlns=\"") + kNamespace + "\"";
    if (path == "/ISAPI/System/deviceInfo" && method == "GET") {
        return Reply{200, "application/xml",
                     xml_head + "<DeviceInfo" + ns +
                         ">\n<deviceName>Simulated camera</deviceName>\n<model>SIM-CAM-1</model>\n"
                         "<serialNumber>" +
                         options_.serial_number + "</serialNumber>\n<macAddress>" + options_.mac +
                         "</macAddress>\n<firmwareVersion>V1.0.0</firmwareVersion>\n"
                         "</DeviceInfo>\n",
                     false};
    }
    if (path == "/ISAPI/System/time" && method == "GET") {
        const std::string local_time = local_time_text();
        std::lock_guard lock(mutex_);
        return Reply{200, "application/xml",
                     xml_head + "<Time" + ns + ">\n<timeMode>" + time_mode_ +
                         "</timeMode>\n<localTime>" + local_time + "</localTime>\n<timeZone>" +
                         time_zone_ + "</timeZone>\n</Time>\n",
                     false};
    }
    if (path == "/ISAPI/System/time" && method == "PUT") {
        const std::string mode = element(request.body, "timeMode");
        if (mode == "manual") {
            auto time =
                parse_local_time_point(element(request.body, "localTime"), "%Y-%m-%dT%H:%M:%S");
            if (!time) {
                return Reply{400, "text/plain", "bad localTime", false};
            }
            std::lock_guard lock(mutex_);
            clock_offset_ = *time - system_now();
            time_mode_ = mode;
        } else if (mode == "NTP") {
            std::lock_guard lock(mutex_);
            clock_offset_ = 0;
            time_mode_ = mode;
            time_zone_ = element(request.body, "timeZone");
        } else {
            return Reply{400, "text/plain", "bad timeMode", false};
        }
        return Reply{
            200, "application/xml",
            xml_head + "<ResponseStatus" + ns + "><statusCode>1</statusCode></ResponseStatus>\n",
            false};
    }
    if (path == "/ISAPI/System/time/timeZone" && method == "GET") {
        std::lock_guard lock(mutex_);
        return Reply{200, "text/plain", time_zone_, false};
    }
    if (path == "/ISAPI/System/time/timeZone" && method == "PUT") {
        std::lock_guard lock(mutex_);
        time_zone_ = request.body;
        return Reply{
            200, "application/xml",
            xml_head + "<ResponseStatus" + ns + "><statusCode>1</statusCode></ResponseStatus>\n",
            false};
    }
    if (path == "/ISAPI/Streaming/channels/101" && method == "GET") {
        std::lock_guard lock(mutex_);
        return Reply{200, "application/xml", channel_xml_, false};
    }
    if (path == "/ISAPI/Streaming/channels/101" && method == "PUT") {
        std::lock_guard lock(mutex_);
        channel_xml_ = request.body;
        return Reply{
            200, "application/xml",
            xml_head + "<ResponseStatus" + ns + "><statusCode>1</statusCode></ResponseStatus>\n",
            false};
    }
    if (path == "/ISAPI/ContentMgmt/record/tracks" && method == "PUT") {
        return Reply{
            200, "application/xml",
            xml_head + "<ResponseStatus" + ns + "><statusCode>1</statusCode></ResponseStatus>\n",
            false};
    }
    if (path == "/ISAPI/ContentMgmt/search" && method == "POST") {
        return Reply{200, "application/xml", search_reply(request.body), false};
    }
    return Reply{404, "text/plain", "Not found", false};
}

std::string SimCamera::search_reply(const std::string& request_body) {
    const auto start = parse_time_point(element(request_body, "startTime"), "%Y-%m-%dT%H:%M:%SZ");
    const auto end = parse_time_point(element(request_body, "endTime"), "%Y-%m-%dT%H:%M:%SZ");
    std::vector<SimRecording> matches;
    std::string playback_host;
    {
        std::lock_guard lock(mutex_);
        playback_host = playback_host_.empty() ? options_.address : playback_host_;
    }
    if (start && end) {
        std::lock_guard lock(mutex_);
        for (const SimRecording& recording : recordings_) {
            if (recording.start < *end && *start < recording.end && matches.size() < 100) {
                matches.push_back(recording);
            }
        }
    }
    std::string xml = std::string(
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CMSearchResult "
                          "version=\"2.0\" xmlns=\"") +
                      kNamespace + "\">\n<searchID>" + element(request_body, "searchID") +
                      "</searchID>\n<responseStatus>true</responseStatus>\n"
                      "<responseStatusStrg>OK</responseStatusStrg>\n<numOfMatches>" +
                      std::to_string(matches.size()) + "</numOfMatches>\n<matchList>\n";
    for (const SimRecording& recording : matches) {
        xml +=
            "<searchMatchItem>\n<sourceID>{0000-0000}</sourceID>\n<trackID>101</trackID>\n"
            "<timeSpan>\n<startTime>" +
            format_time_point(recording.start, "%Y-%m-%dT%H:%M:%SZ") + "</startTime>\n<endTime>" +
            format_time_point(recording.end, "%Y-%m-%dT%H:%M:%SZ") +
            "</endTime>\n</timeSpan>\n<mediaSegmentDescriptor>\n<contentType>video</contentType>\n"
            "<codecType>H.264-BP</codecType>\n<playbackURI>rtsp://" +
            playback_host + ":554/Streaming/tracks/101/?starttime=" +
            format_time_point(recording.start, "%Y%m%dT%H%M%SZ") +
            "&amp;endtime=" + format_time_point(recording.end, "%Y%m%dT%H%M%SZ") +
            "</playbackURI>\n</mediaSegmentDescriptor>\n</searchMatchItem>\n";
    }
    xml += "</matchList>\n</CMSearchResult>\n";
    return xml;
}

}  // namespace voxapp::sim
