#include "platform/posix/handle_table.h"

namespace morlit::posix {

Handle HandleTable::Add(std::shared_ptr<HandleObject> object) {
    const std::uintptr_t key = next_;
    next_ += 4;
    objects_[key] = std::move(object);
    return reinterpret_cast<Handle>(key);
}

bool HandleTable::Close(Handle handle) {
    auto it = objects_.find(Key(handle));
    if (it == objects_.end()) return false;
    std::shared_ptr<HandleObject> object = it->second;
    objects_.erase(it);
    return object->OnClose();
}

}  // namespace morlit::posix
