// The Windows functions the package calls through koffi. Each thread that
// requires this module gets its own copy of these bindings.
'use strict';

const koffi = require('koffi');

const kernel32 = koffi.load('kernel32.dll');
const user32 = koffi.load('user32.dll');

const COPYDATASTRUCT = koffi.struct('KESTROVA_COPYDATASTRUCT', {
    dwData: 'uintptr_t',
    cbData: 'uint32_t',
    lpData: 'const void *',
});

// SECURITY_QUALITY_OF_SERVICE, CONVCONTEXT and CONVINFO as ddeml.h lays them
// out: only wStatus and hwndPartner are read, but the size must be right.
const CONVINFO = koffi.struct('KESTROVA_CONVINFO', {
    cb: 'uint32_t',
    hUser: 'uintptr_t',
    hConvPartner: 'void *',
    hszSvcPartner: 'void *',
    hszServiceReq: 'void *',
    hszTopic: 'void *',
    hszItem: 'void *',
    wFmt: 'uint32_t',
    wType: 'uint32_t',
    wStatus: 'uint32_t',
    wConvst: 'uint32_t',
    wLastError: 'uint32_t',
    hConvList: 'void *',
    ConvCtxt: koffi.struct({
        cb: 'uint32_t', wFlags: 'uint32_t', iCountryID: 'int32_t', iCodePage: 'int32_t',
        dwLangID: 'uint32_t', dwSecurity: 'uint32_t',
        qos: koffi.struct({ Length: 'uint32_t', ImpersonationLevel: 'int32_t',
                            ContextTrackingMode: 'uint8_t', EffectiveOnly: 'uint8_t' }),
    }),
    hwnd: 'void *',
    hwndPartner: 'void *',
});

const DdeCallback = koffi.proto('uintptr_t __stdcall KestrovaDdeCallback(uint32_t type, ' +
    'uint32_t format, void *conversation, void *hsz1, void *hsz2, void *data, uintptr_t data1, ' +
    'uintptr_t data2)');

module.exports = {
    koffi,
    COPYDATASTRUCT,
    CONVINFO,
    DdeCallback,
    GetACP: kernel32.func('uint32_t __stdcall GetACP()'),
    GetCurrentThreadId: kernel32.func('uint32_t __stdcall GetCurrentThreadId()'),
    MultiByteToWideChar: kernel32.func('int __stdcall MultiByteToWideChar(uint32_t codePage, ' +
        'uint32_t flags, const void *bytes, int size, _Out_ uint8_t *wide, int chars)'),
    WideCharToMultiByte: kernel32.func('int __stdcall WideCharToMultiByte(uint32_t codePage, ' +
        'uint32_t flags, const uint8_t *wide, int chars, _Out_ uint8_t *bytes, int size, ' +
        'const void *fallback, _Out_ int *usedDefault)'),
    PostThreadMessageW: user32.func('int __stdcall PostThreadMessageW(uint32_t thread, ' +
        'uint32_t message, uintptr_t wParam, intptr_t lParam)'),
    PeekMessageW: user32.func('int __stdcall PeekMessageW(_Out_ uint8_t *msg, void *window, ' +
        'uint32_t first, uint32_t last, uint32_t remove)'),
    TranslateMessage: user32.func('int __stdcall TranslateMessage(const uint8_t *msg)'),
    DispatchMessageW: user32.func('intptr_t __stdcall DispatchMessageW(const uint8_t *msg)'),
    MsgWaitForMultipleObjectsEx: user32.func('uint32_t __stdcall MsgWaitForMultipleObjectsEx(' +
        'uint32_t count, const void *handles, uint32_t ms, uint32_t wakeMask, uint32_t flags)'),
    FindWindowA: user32.func('void * __stdcall FindWindowA(const char *className, const char *title)'),
    SendMessageTimeoutA: user32.func('intptr_t __stdcall SendMessageTimeoutA(void *window, ' +
        'uint32_t message, uintptr_t wParam, const KESTROVA_COPYDATASTRUCT *data, uint32_t flags, ' +
        'uint32_t ms, _Out_ uintptr_t *result)'),
    IsWindow: user32.func('int __stdcall IsWindow(void *window)'),
    DdeInitializeA: user32.func('uint32_t __stdcall DdeInitializeA(_Inout_ uint32_t *instance, ' +
        'KestrovaDdeCallback *callback, uint32_t flags, uint32_t reserved)'),
    DdeUninitialize: user32.func('int __stdcall DdeUninitialize(uint32_t instance)'),
    DdeCreateStringHandleA: user32.func('void * __stdcall DdeCreateStringHandleA(uint32_t instance, ' +
        'const char *text, int codePage)'),
    DdeFreeStringHandle: user32.func('int __stdcall DdeFreeStringHandle(uint32_t instance, void *text)'),
    DdeConnect: user32.func('void * __stdcall DdeConnect(uint32_t instance, void *service, ' +
        'void *topic, void *context)'),
    DdeQueryConvInfo: user32.func('uint32_t __stdcall DdeQueryConvInfo(void *conversation, ' +
        'uint32_t transaction, _Inout_ KESTROVA_CONVINFO *info)'),
};
