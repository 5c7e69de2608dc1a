#pragma once

/* What the widl output expects from kvbase.idl, from the Windows headers. */
#include <windows.h>
#include <ole2.h>

#ifdef __cplusplus
extern "C" {
#endif

/* rpcrt4 exports these for every proxy's IUnknown slots; the headers do not
   declare them. */
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#ifdef __cplusplus
}
#endif
