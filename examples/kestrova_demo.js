// Places a call through the phone application from Node.js, with the koffi
// FFI: subscribes to the phone's notifications, dials, takes the line off
// hook, hangs up and prints every notification as it arrives.
//
//   node kestrova_demo.js [name [number]]
//
// Needs koffi (npm install koffi) and the KestrovaAPI.dll that matches this
// Node.js: ..\x64\bin for 64-bit Node.js, ..\x86\bin for 32-bit, as in the
// release package; KESTROVA_DLL names another.
'use strict';

const path = require('node:path');
const koffi = require('koffi');

const dllPath = process.env.KESTROVA_DLL ||
    path.join(__dirname, '..', process.arch === 'x64' ? 'x64' : 'x86', 'bin', 'KestrovaAPI.dll');

// The library's functions are cdecl, koffi's default. Text is passed as bytes
// in the ANSI code page (see toAnsi): koffi would pass a JS string as UTF-8.
const kestrova = koffi.load(dllPath);
const ObserverCallback = koffi.proto('void ObserverCallback(int count, void *tokens)');
const kestrovaAddObserver = kestrova.func('int kestrovaAddObserver(ObserverCallback *observer)');
const kestrovaRemoveObserver = kestrova.func('int kestrovaRemoveObserver(ObserverCallback *observer)');
const kestrovaDial = kestrova.func('int kestrovaDial(const uint8_t *name, const uint8_t *number)');
const kestrovaHookOff = kestrova.func('int kestrovaHookOff()');
const kestrovaHangUp = kestrova.func('int kestrovaHangUp()');

// Windows' own functions are stdcall.
const kernel32 = koffi.load('kernel32.dll');
const user32 = koffi.load('user32.dll');
const MultiByteToWideChar = kernel32.func('int __stdcall MultiByteToWideChar(uint32_t codePage, ' +
    'uint32_t flags, const void *bytes, int size, void *wide, int chars)');
const WideCharToMultiByte = kernel32.func('int __stdcall WideCharToMultiByte(uint32_t codePage, ' +
    'uint32_t flags, const void *wide, int chars, void *bytes, int size, void *fallback, void *used)');
const PeekMessageA = user32.func('int __stdcall PeekMessageA(void *msg, void *window, ' +
    'uint32_t first, uint32_t last, uint32_t remove)');
const TranslateMessage = user32.func('int __stdcall TranslateMessage(void *msg)');
const DispatchMessageA = user32.func('intptr_t __stdcall DispatchMessageA(void *msg)');
const CP_ACP = 0;
const PM_REMOVE = 1;

// A JS string as terminated bytes in the ANSI code page.
function toAnsi(text) {
    const wide = Buffer.from(text + '\0', 'utf16le');
    const size = WideCharToMultiByte(CP_ACP, 0, wide, -1, null, 0, null, null);
    const bytes = Buffer.alloc(size);
    WideCharToMultiByte(CP_ACP, 0, wide, -1, bytes, size, null, null);
    return bytes;
}

// A terminated string in the ANSI code page, at address, as a JS string.
function fromAnsi(address) {
    const chars = MultiByteToWideChar(CP_ACP, 0, address, -1, null, 0);
    const wide = Buffer.alloc(chars * 2);
    MultiByteToWideChar(CP_ACP, 0, address, -1, wide, chars);
    return wide.toString('utf16le', 0, (chars - 1) * 2);
}

// Notifications reach the observer only while this thread dispatches window
// messages. Node.js runs no Windows message loop, so a timer does it.
const msg = Buffer.alloc(48);  // room for a MSG on x86 and x64
function pumpMessages() {
    while (PeekMessageA(msg, null, 0, 0, PM_REMOVE)) {
        TranslateMessage(msg);
        DispatchMessageA(msg);
    }
}

const heard = [];

// Called on this thread, from pumpMessages, inside the phone application's
// DDE transaction: it only records and prints. The tokens live only during
// the call: copy them out. Nothing may be thrown back into the library.
function onNotification(count, tokens) {
    try {
        const words = koffi.decode(tokens, 'void *', count).map(fromAnsi);
        heard.push(words);
        const args = words.slice(1).map(word => `"${word}"`).join(', ');
        console.log(`    phone says: ${words[0]}${args ? ' ' + args : ''}`);
    } catch (error) {
        console.error('the observer failed:', error);
    }
}

const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

// Waits until the phone has said word in some notification, or ms passed.
async function waitToHear(word, ms) {
    for (const end = Date.now() + ms; Date.now() < end; await sleep(20)) {
        if (heard.some(words => words.includes(word))) return true;
    }
    return false;
}

function report(what, result) {
    console.log(`${what.padEnd(34)} -> ${result}${result === 0 ? ' (ok)' : ''}`);
    return result;
}

// The first request also starts the phone application, which takes a moment
// to be ready: retry for a while. Before each retry the link of the failed
// try is closed: should the phone application quit or crash and start again
// meanwhile, a retry on that link would reach the one that went, and fail
// every time.
async function subscribe(observer) {
    let result = -1;
    for (let attempt = 0; attempt < 40 && result === -1; ++attempt) {
        result = kestrovaAddObserver(observer);
        if (result !== -1) break;
        kestrovaRemoveObserver(null);
        await sleep(250);
    }
    return result;
}

async function main() {
    const name = process.argv[2] || 'Ann Example';
    const number = process.argv[3] || '+1 555 0100';
    console.log(`KestrovaAPI demo: calling ${name} at ${number}\n`);

    // The registered callback must outlive the subscription: it is released
    // only after kestrovaRemoveObserver.
    const observer = koffi.register(onNotification, koffi.pointer(ObserverCallback));
    const pump = setInterval(pumpMessages, 10);
    let subscribed = false;
    try {
        const result = report('kestrovaAddObserver (subscribe)', await subscribe(observer));
        if (result !== 0) {
            console.log(result > 0 ? '\nNo phone application handles the "dial" action on .vcf files.'
                                   : '\nThe phone application could not be reached.');
            return 1;
        }
        subscribed = true;
        report('kestrovaDial', kestrovaDial(toAnsi(name), toAnsi(number)));
        await waitToHear('ringing', 10000);  // the phone has read the card
        report('kestrovaHookOff (take the line)', kestrovaHookOff());
        await waitToHear('connected', 5000);
        report('kestrovaHangUp', kestrovaHangUp());
        await waitToHear('ended', 5000);
        subscribed = report('kestrovaRemoveObserver', kestrovaRemoveObserver(observer)) !== 0;
    } finally {
        if (subscribed) kestrovaRemoveObserver(observer);  // on the way out of an error
        clearInterval(pump);
        koffi.unregister(observer);
    }
    console.log('\nDone.');
    return 0;
}

main().then(code => { process.exitCode = code; },
            error => { console.error(error); process.exitCode = 2; });
