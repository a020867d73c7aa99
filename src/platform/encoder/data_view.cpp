#include "platform/encoder/data_view.h"

#include "platform/encoder/errors.h"

namespace shardex::encoder {

void DataViewImpl::setViewProperties(std::int32_t streamCookie, WindowHandle window) {
    std::lock_guard lock(mutex_);
    viewCookie_ = streamCookie;
    window_ = window;
    hasWindow_ = true;
}

void DataViewImpl::startView(std::int32_t streamCookie) {
    std::lock_guard lock(mutex_);
    if (!hasWindow_) throw Error("the data view has no window: set its view properties first", errors::kBadConfiguration);
    if (streamCookie != viewCookie_ || (cookie_ != 0 && streamCookie != cookie_))
        throw Error("unknown stream cookie " + std::to_string(streamCookie), errors::kBadConfiguration);
    token_ = frames::claim(window_);
    started_ = true;
}

void DataViewImpl::stopView(std::int32_t streamCookie) {
    std::lock_guard lock(mutex_);
    if (streamCookie != viewCookie_)
        throw Error("unknown stream cookie " + std::to_string(streamCookie), errors::kBadConfiguration);
    started_ = false;
}

bool DataViewImpl::target(WindowHandle& window, frames::ClaimToken& token) const {
    std::lock_guard lock(mutex_);
    if (!started_) return false;
    window = window_;
    token = token_;
    return true;
}

void DataViewImpl::setCookie(std::int32_t cookie) {
    std::lock_guard lock(mutex_);
    cookie_ = cookie;
}

}  // namespace shardex::encoder
