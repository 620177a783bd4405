#include "asio/combase.h"

#include <new>

std::atomic<int> g_comLiveObjects{0};
std::atomic<int> g_comServerLocks{0};

CUnknown::CUnknown(IUnknown* outer) : m_outer(outer) {
    m_inner.self = this;
    g_comLiveObjects.fetch_add(1);
}

CUnknown::~CUnknown() { g_comLiveObjects.fetch_sub(1); }

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown) {
        *ppv = &m_inner;
        NonDelegatingAddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() { return m_ref.fetch_add(1) + 1; }

ULONG CUnknown::NonDelegatingRelease() {
    ULONG left = m_ref.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
}

HRESULT CClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CClassFactory::AddRef() { return m_ref.fetch_add(1) + 1; }

ULONG CClassFactory::Release() {
    ULONG left = m_ref.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
}

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregate may only ask for the inner object's own unknown.
    if (outer && riid != IID_IUnknown) return E_NOINTERFACE;
    HRESULT hr = S_OK;
    CUnknown* obj = m_entry->create(outer, &hr);
    if (!obj) return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete obj;
        return hr;
    }
    obj->NonDelegatingAddRef();
    hr = obj->NonDelegatingQueryInterface(riid, ppv);
    obj->NonDelegatingRelease(); // a failed query leaves no reference: the object goes
    return hr;
}

HRESULT CClassFactory::LockServer(BOOL lock) {
    if (lock)
        g_comServerLocks.fetch_add(1);
    else
        g_comServerLocks.fetch_sub(1);
    return S_OK;
}
