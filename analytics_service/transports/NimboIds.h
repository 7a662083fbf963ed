// The two Nimbo servers as this service calls them: class and interface ids and the method
// tables. Only the methods the service calls are named; the others hold their places so the
// named ones sit where the servers expect them.
#pragma once
#include <objbase.h>
#include <oleauto.h>

namespace Taliro {

// {85549034-D282-4011-8BF3-9F7B2FB268BE}
inline constexpr CLSID kNimboClientClsid = {
    0x85549034, 0xd282, 0x4011, {0x8b, 0xf3, 0x9f, 0x7b, 0x2f, 0xb2, 0x68, 0xbe}};
// {4D14456F-2669-4F68-8100-AAAD821D9A72}
inline constexpr IID kNimboClientIid = {
    0x4d14456f, 0x2669, 0x4f68, {0x81, 0x00, 0xaa, 0xad, 0x82, 0x1d, 0x9a, 0x72}};
// {5B0E5592-F349-4A68-802C-7C5874F7CE20}
inline constexpr CLSID kNimboCohortClsid = {
    0x5b0e5592, 0xf349, 0x4a68, {0x80, 0x2c, 0x7c, 0x58, 0x74, 0xf7, 0xce, 0x20}};
// {DAA5A77E-8DD4-49B6-82AF-A078E58B055B}
inline constexpr IID kNimboCohortIid = {
    0xdaa5a77e, 0x8dd4, 0x49b6, {0x82, 0xaf, 0xa0, 0x78, 0xe5, 0x8b, 0x05, 0x5b}};

// Method places count QueryInterface, AddRef and Release as 1 to 3.
struct INimboClient : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    // Place 5.
    virtual HRESULT STDMETHODCALLTYPE SendEvent(BSTR payload) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved8() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved9() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved10() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved11() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved12() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved13() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved14() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved15() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved16() = 0;
    // Place 17: the device id when the key is the application id. The caller frees *text.
    virtual HRESULT STDMETHODCALLTYPE GetAppInfo(BSTR key, BSTR* text) = 0;
};

struct INimboCohort : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved8() = 0;
    // Place 9: a JSON object text. The caller frees *text.
    virtual HRESULT STDMETHODCALLTYPE GetCohortData(BSTR key, BSTR dataName, BSTR* text) = 0;
};

} // namespace Taliro
