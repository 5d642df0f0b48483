// Install components for the path tests: a file, a file group, a container that is no
// file container, and a driver whose source folder and -e switch the test sets.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "objects/TFileContainer.h"
#include "paths/TPathSpecifier.h"
#include "paths/routines_ExpandPaths.h"
#include "platform/Registry.h"
#include "tests/platform/TempMachine.h"

namespace kv::pathtest {

class TTestFile : public TFileRelated {
    KV_CLASS(TTestFile, TFileRelated)
public:
    using TFileRelated::TFileRelated;
    int32_t RegisteredType() const override { return rtInstallFile; }
};

class TTestGroup : public TFileContainer {
    KV_CLASS(TTestGroup, TFileContainer)
public:
    using TFileContainer::TFileContainer;
};

// A container that holds objects but no archive (as a link group does).
class TTestLinkGroup : public TInstallObject {
    KV_CLASS(TTestLinkGroup, TInstallObject)
public:
    using TInstallObject::TInstallObject;
    int32_t RegisteredType() const override { return rtShellLinkGroup; }
};

class TTestDriver : public TFileContainer, public IInstallDriver {
    KV_CLASS(TTestDriver, TFileContainer)
public:
    explicit TTestDriver(TComponent* owner) : TFileContainer(owner) { SetCurrentInstallDriver(this); }
    ~TTestDriver() override {
        if (CurrentInstallDriver() == this) SetCurrentInstallDriver(nullptr);
    }
    TFileContainer* DriverContainer() override { return this; }
    std::string DriverProductName() const override { return "Tool"; }
    const std::string& SourceDir() const override { return Source; }
    bool SelfExtractName(std::string& name) const override {
        name = SelfExtract;
        return HasSelfExtract;
    }
    std::string Source = "C:\\Temp";
    bool HasSelfExtract = false;
    std::string SelfExtract;
};

// An owner that is neither a form nor a data module: nothing is created on it.
class TTestOwner : public TComponent {
    KV_CLASS(TTestOwner, TComponent)
public:
    using TComponent::TComponent;
};

inline std::string MessageOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return "no exception";
}

inline void SetRegString(HKEY root, const std::string& key, const std::string& name, const std::string& value) {
    TRegistry reg;
    reg.SetRootKey(root);
    ASSERT_TRUE(reg.OpenKey(key, true));
    reg.WriteString(name, value);
}

inline void DeleteRegValue(HKEY root, const std::string& key, const std::string& name) {
    TRegistry reg;
    reg.SetRootKey(root);
    if (reg.OpenKey(key, false)) reg.DeleteValue(name);
}

constexpr const char* kShellFolders = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr const char* kCurrentVersion = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// A fresh machine and an owner for the components of one test.
class PathTest : public ::testing::Test {
protected:
    template <class T>
    T* Make(const std::string& name, TInstallContainer* container = nullptr) {
        auto* obj = Create<T>(&Owner);
        obj->SetName(name);
        if (container) obj->SetContainer(container);
        return obj;
    }
    kv::test::TempMachine M{"Win95"};
    TTestOwner Owner{nullptr};
};

}  // namespace kv::pathtest
