// The process's table of Windows handles (files, searches, tokens). Internal to platform/.
#pragma once

#include <memory>

#include "platform/WinTypes.h"

namespace kv {

class THandleObject {
public:
    virtual ~THandleObject() = default;
    // Called by CloseHandle before the object is freed.
    virtual void Close() {}
};

HANDLE AddHandle(std::unique_ptr<THandleObject> obj);
THandleObject* FindHandle(HANDLE h);
std::unique_ptr<THandleObject> TakeHandle(HANDLE h);

template <class T>
T* HandleAs(HANDLE h) {
    return dynamic_cast<T*>(FindHandle(h));
}

}  // namespace kv
