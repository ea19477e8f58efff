// Kernel-object handles of the Linux host: disks, processes, files, tokens.
// Handles are small numbers that look like Windows handles; each names one
// object until CloseHandle.
#pragma once

#include <map>
#include <memory>

#include "platform/types.h"

namespace morlit::posix {

class HandleObject {
  public:
    virtual ~HandleObject() = default;
    // Called by CloseHandle before the object is dropped; false fails the close.
    virtual bool OnClose() { return true; }
};

class HandleTable {
  public:
    Handle Add(std::shared_ptr<HandleObject> object);
    // The object behind `handle` if it is a T, else null.
    template <class T>
    std::shared_ptr<T> Get(Handle handle) const {
        auto it = objects_.find(Key(handle));
        return it == objects_.end() ? nullptr : std::dynamic_pointer_cast<T>(it->second);
    }
    // False for an unknown handle.
    bool Close(Handle handle);
    size_t Count() const { return objects_.size(); }

  private:
    static std::uintptr_t Key(Handle h) { return reinterpret_cast<std::uintptr_t>(h); }
    std::map<std::uintptr_t, std::shared_ptr<HandleObject>> objects_;
    std::uintptr_t next_ = 0x100;
};

}  // namespace morlit::posix
