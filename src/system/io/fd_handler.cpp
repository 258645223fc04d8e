#include "system/io/fd_handler.hpp"

#include "system/io/event_loop.hpp"

namespace voxapp {

FdHandler::~FdHandler() {
    unregister();
}

FdHandler::FdHandler(FdHandler&& other) noexcept {
    if (other.loop_ != nullptr) {
        other.loop_->transfer(other, *this);
    }
}

FdHandler& FdHandler::operator=(FdHandler&& other) noexcept {
    if (this != &other) {
        unregister();
        if (other.loop_ != nullptr) {
            other.loop_->transfer(other, *this);
        }
    }
    return *this;
}

void FdHandler::unregister() noexcept {
    if (loop_ != nullptr) {
        (void)loop_->remove(*this);
    }
}

}  // namespace voxapp
