// A text field that several threads read and write: every read is a copy taken under the field's mutex,
// so a concurrent assignment can never free the buffer a reader is using.
#pragma once

#include <mutex>
#include <string>

class SharedText {
public:
    SharedText() = default;
    explicit SharedText(std::string initial) : value_(std::move(initial)) {}
    SharedText(const SharedText&) = delete;
    SharedText& operator=(const SharedText&) = delete;

    SharedText& operator=(std::string v) {
        set(std::move(v));
        return *this;
    }
    operator std::string() const { return get(); }

    std::string get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    void set(std::string v) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_.swap(v);
    }
    bool empty() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_.empty();
    }

private:
    mutable std::mutex mutex_;
    std::string value_;
};
