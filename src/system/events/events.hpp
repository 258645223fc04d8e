#pragma once

// The whole event catalogue.
#include "system/events/camera_events.hpp"
#include "system/events/client_events.hpp"
#include "system/events/system_events.hpp"
