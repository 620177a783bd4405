// The in-process server's object model: CBaseObject, the non-delegating unknown,
// CUnknown (reference counting and the outer unknown of an aggregate), the factory
// template table and CClassFactory; the module's live object and server lock counts.
#pragma once
#include <atomic>

#include "asio/com/com.h"

struct INonDelegatingUnknown {
    virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;
};

class CBaseObject {
public:
    CBaseObject() = default;
    virtual ~CBaseObject() = default;
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
};

// Live objects (every CUnknown) and LockServer's count; DllCanUnloadNow reads both.
extern std::atomic<int> g_comLiveObjects;
extern std::atomic<int> g_comServerLocks;

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    explicit CUnknown(IUnknown* outer);
    ~CUnknown() override;

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    // The unknown that the object's interfaces forward to: the aggregate's, or our own.
    IUnknown* GetOwner() { return m_outer ? m_outer : &m_inner; }
    // The non-delegating unknown as an IUnknown (what an aggregate keeps).
    IUnknown* NonDelegating() { return &m_inner; }

private:
    struct Inner : public IUnknown {
        CUnknown* self = nullptr;
        HRESULT QueryInterface(REFIID riid, void** ppv) override { return self->NonDelegatingQueryInterface(riid, ppv); }
        ULONG AddRef() override { return self->NonDelegatingAddRef(); }
        ULONG Release() override { return self->NonDelegatingRelease(); }
    };
    Inner m_inner;
    IUnknown* m_outer;
    std::atomic<ULONG> m_ref{0};
};

// Makes the object; *hr gets S_OK or the object's own failure (the caller deletes it).
typedef CUnknown* (*ComCreateFn)(IUnknown* outer, HRESULT* hr);

struct CFactoryTemplate {
    const char16_t* name;
    const CLSID* clsid;
    ComCreateFn create;
};
extern const CFactoryTemplate g_comTemplates[];
extern const int g_comTemplateCount;

class CClassFactory : public IClassFactory, public CBaseObject {
public:
    explicit CClassFactory(const CFactoryTemplate* entry) : m_entry(entry) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT LockServer(BOOL lock) override;

private:
    std::atomic<ULONG> m_ref{0};
    const CFactoryTemplate* m_entry;
};
