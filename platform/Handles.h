// The process's table of Windows handles (files, searches, tokens). Internal to platform/.
#pragma once

#include <memory>
#include <typeinfo>

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

// Mostly the object is of type T itself, which a type compare tells at once.
template <class T>
T* HandleAs(HANDLE h) {
    THandleObject* obj = FindHandle(h);
    if (obj && typeid(*obj) == typeid(T)) return static_cast<T*>(obj);
    return dynamic_cast<T*>(obj);
}

}  // namespace kv
