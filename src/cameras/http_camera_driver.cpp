#include "cameras/http_camera_driver.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "cameras/camera_time_zone.hpp"
#include "cameras/camera_xml.hpp"
#include "cameras/playback_uri.hpp"
#include "cameras/recording_search.hpp"
#include "cameras/streaming_limits.hpp"
#include "cameras/video_settings.hpp"
#include "core/file_text.hpp"

namespace voxapp {
namespace {

// The camera API's published version-2.0 XML namespace.
constexpr const char* kNamespace = "http://www.isapi.org/ver20/XMLSchema";
constexpr const char* kLocalTimeFormat = "%Y-%m-%dT%H:%M:%S";

CameraDriverFailure failure(CameraDriverError error, std::string detail) {
    return CameraDriverFailure{error, std::move(detail)};
}

CameraDriverFailure failed(std::string detail) {
    return failure(CameraDriverError::Failed, std::move(detail));
}

}  // namespace

HttpCameraDriver::HttpCameraDriver(AsyncHttpClient& client, const TimeZoneBackend& zones,
                                   RecordingDownloader& downloader, const Ipv4Address& ip,
                                   CameraCredential credential, std::string provisioning_file,
                                   const CameraRequestLimits& limits,
                                   std::shared_ptr<Logger> logger)
    : client_(client),
      zones_(zones),
      downloader_(downloader),
      ip_(ip),
      credential_(std::move(credential)),
      base_url_("http://" + ip.to_string() + "/ISAPI/"),
      provisioning_file_(std::move(provisioning_file)),
      limits_(limits),
      logger_(std::move(logger)) {}

template <typename T>
CameraDriver::Completion<T> HttpCameraDriver::guarded(Completion<T> next) {
    return [alive = std::weak_ptr<bool>(alive_), next = std::move(next)](CameraResult<T> result) {
        if (!alive.expired()) {
            next(std::move(result));
        }
    };
}

void HttpCameraDriver::request(const char* method, const char* resource,
                               std::optional<std::string> body,
                               std::optional<std::chrono::milliseconds> overall,
                               BodyCompletion done) {
    auto created = HttpRequest::create(base_url_ + resource, method);
    if (!created) {
        done(failed(created.error().message_text()));
        return;
    }
    HttpRequest request =
        created->with_credentials(credential_.user_name + ":" + credential_.password);
    if (body) {
        request =
            request.with_body(std::move(*body)).with_header("Content-Type", "application/xml");
    }
    const std::chrono::milliseconds whole = overall.value_or(limits_.overall);
    request = request.with_timeout_ms(whole.count())
                  .with_connect_timeout_ms(std::min(limits_.connect, whole).count())
                  .with_low_speed_limit(1, std::max<std::int64_t>(limits_.stall.count(), 1));
    auto started = client_.send(
        request, [alive = std::weak_ptr<bool>(alive_), done](Result<HttpResponse> reply) {
            if (alive.expired()) {
                return;
            }
            if (!reply) {
                done(failure(CameraDriverError::TransportError, reply.error().message_text()));
            } else if (reply->status == 200) {
                done(std::move(reply->body));
            } else if (reply->status == 401) {
                done(failure(CameraDriverError::Unauthorized, "HTTP status 401"));
            } else {
                done(failed("HTTP status " + std::to_string(reply->status)));
            }
        });
    if (!started) {
        done(failed(started.error().message_text()));
    }
}

void HttpCameraDriver::get_device_info(Done done) {
    request("GET", "System/deviceInfo", std::nullopt, limits_.device_info,
            [done = std::move(done)](CameraResult<std::string> reply) {
                if (!reply) {
                    done(reply.failure());
                } else {
                    done(std::monostate{});
                }
            });
}

void HttpCameraDriver::get_time(Completion<TimePoint> done) {
    request("GET", "System/time", std::nullopt, std::nullopt,
            [done = std::move(done)](CameraResult<std::string> reply) {
                if (!reply) {
                    done(reply.failure());
                    return;
                }
                const std::string_view local_time = xml_element_value(*reply, "localTime");
                if (local_time.empty()) {
                    done(failed("Time reply without localTime"));
                    return;
                }
                auto time = parse_local_time_point(local_time, kLocalTimeFormat);
                if (!time) {
                    done(failed("Time reply with an unreadable localTime"));
                    return;
                }
                done(*time);
            });
}

namespace {

// Completes an operation without a value from a reply whose body does not matter.
std::function<void(CameraResult<std::string>)> on_success(CameraDriver::Done done) {
    return [done = std::move(done)](CameraResult<std::string> reply) {
        if (!reply) {
            done(reply.failure());
        } else {
            done(std::monostate{});
        }
    };
}

}  // namespace

void HttpCameraDriver::set_time(TimePoint time, Done done) {
    std::string body = std::string("<Time version=\"2.0\" xmlns=\"") + kNamespace +
                       "\"><timeMode>manual</timeMode><localTime>" +
                       format_local_time_point(time, kLocalTimeFormat) +
                       "</localTime><timeZone>CST+0:00:00</timeZone></Time>";
    request("PUT", "System/time", std::move(body), std::nullopt, on_success(std::move(done)));
}

void HttpCameraDriver::enable_ntp(Done done) {
    request("GET", "System/time/timeZone", std::nullopt, std::nullopt,
            guarded<std::string>([this, done = std::move(done)](CameraResult<std::string> reply) {
                if (!reply) {
                    done(reply.failure());
                    return;
                }
                // The camera's own text goes back into a document: escaped, or not at all.
                auto zone = xml_escape(*reply);
                if (!zone) {
                    done(failed("Camera time zone cannot be placed in XML"));
                    return;
                }
                std::string body = std::string("<Time version=\"2.0\" xmlns=\"") + kNamespace +
                                   "\"><timeMode>NTP</timeMode><timeZone>" + *zone +
                                   "</timeZone></Time>";
                request("PUT", "System/time", std::move(body), std::nullopt, on_success(done));
            }));
}

void HttpCameraDriver::set_time_zone(const std::string& zone_name, Done done) {
    auto posix = zones_.posix_time_zone(zone_name);
    if (!posix) {
        done(failed(posix.error().message_text()));
        return;
    }
    request("PUT", "System/time/timeZone", camera_time_zone(*posix), std::nullopt,
            on_success(std::move(done)));
}

void HttpCameraDriver::search_recordings(const TimeRange& range,
                                         Completion<std::vector<RecordingSegment>> done) {
    request("POST", "ContentMgmt/search", recording_search_body(range), std::nullopt,
            [done = std::move(done)](CameraResult<std::string> reply) {
                if (!reply) {
                    done(reply.failure());
                    return;
                }
                auto segments = parse_recording_search(*reply);
                if (!segments) {
                    done(failed(segments.error().message_text()));
                    return;
                }
                done(std::move(*segments));
            });
}

void HttpCameraDriver::download_recording(const RecordingSegment& segment,
                                          const std::string& local_path, Done done) {
    if (downloader_.is_busy()) {
        done(failure(CameraDriverError::DownloaderBusy, "Downloader is busy"));
        return;
    }
    request("GET", "Streaming/channels/101", std::nullopt, std::nullopt,
            guarded<std::string>([this, segment, local_path,
                                  done = std::move(done)](CameraResult<std::string> reply) {
                if (!reply) {
                    done(reply.failure());
                    return;
                }
                auto video = parse_video_settings(*reply);
                if (!video) {
                    done(failed(video.error().message_text()));
                    return;
                }
                auto url = playback_uri_with_credentials(segment.playback_uri, ip_, credential_);
                if (!url) {
                    if (logger_ && url.error().message() == kForeignPlaybackHost) {
                        logger_->warning("[HttpCameraDriver] Playback URI of camera " +
                                         ip_.to_string() + " names another host (" +
                                         playback_uri_authority(segment.playback_uri) +
                                         "); its credentials are not sent there");
                    }
                    done(failed(url.error().message_text()));
                    return;
                }
                RecordingDownloadRequest download;
                download.url = std::move(*url);
                download.output_path = local_path;
                download.duration_seconds = segment.range.duration_seconds();
                download.frame_rate = video->download_frame_rate();
                download.width = video->width;
                download.height = video->height;
                downloader_.download(download,
                                     [alive = std::weak_ptr<bool>(alive_), done](Status result) {
                                         if (alive.expired()) {
                                             return;
                                         }
                                         if (result) {
                                             done(std::monostate{});
                                         } else {
                                             done(failure(CameraDriverError::DownloadFailed,
                                                          result.error().message_text()));
                                         }
                                     });
            }));
}

void HttpCameraDriver::provision(Done done) {
    // The provisioning file is a few KiB of XML; the camera takes no more than this anyway.
    std::optional<std::string> tracks = read_file_text(provisioning_file_, 1 << 20);
    if (!tracks) {
        done(failed("Cannot open " + provisioning_file_));
        return;
    }
    request(
        "PUT", "ContentMgmt/record/tracks", std::move(*tracks), std::nullopt,
        guarded<std::string>([this, done = std::move(done)](CameraResult<std::string> reply) {
            if (!reply) {
                done(reply.failure());
                return;
            }
            enforce_streaming_limits(guarded<std::monostate>([this, done](CameraOutcome limited) {
                if (!limited) {
                    done(limited.failure());
                    return;
                }
                enable_ntp(done);
            }));
        }));
}

void HttpCameraDriver::enforce_streaming_limits(Done done) {
    request("GET", "Streaming/channels/101", std::nullopt, std::nullopt,
            guarded<std::string>([this, done = std::move(done)](CameraResult<std::string> reply) {
                if (!reply) {
                    done(reply.failure());
                    return;
                }
                std::string channel = std::move(*reply);
                if (!apply_streaming_limits(channel)) {
                    done(std::monostate{});
                    return;
                }
                request("PUT", "Streaming/channels/101", std::move(channel), std::nullopt,
                        on_success(done));
            }));
}

HttpCameraDriverFactory::HttpCameraDriverFactory(AsyncHttpClient& client,
                                                 const TimeZoneBackend& zones,
                                                 RecordingDownloader& downloader,
                                                 std::string provisioning_file,
                                                 const CameraRequestLimits& limits,
                                                 std::shared_ptr<Logger> logger)
    : client_(client),
      zones_(zones),
      downloader_(downloader),
      provisioning_file_(std::move(provisioning_file)),
      limits_(limits),
      logger_(std::move(logger)) {}

std::unique_ptr<CameraDriver> HttpCameraDriverFactory::create(const Ipv4Address& ip,
                                                              const CameraCredential& credential) {
    return std::make_unique<HttpCameraDriver>(client_, zones_, downloader_, ip, credential,
                                              provisioning_file_, limits_, logger_);
}

}  // namespace voxapp
