// The thread that owns every call into KestrovaAPI.dll. The library's link
// to the phone application belongs to the thread that made it, and its
// notifications arrive only while that thread dispatches window messages, so
// this thread does nothing else: it waits in MsgWaitForMultipleObjectsEx,
// dispatches, and takes the main thread's requests from a MessagePort when
// a WM_APP wakes it. Results and notifications go back with postMessage.
'use strict';

const { parentPort, workerData, receiveMessageOnPort } = require('node:worker_threads');
const win32 = require('./win32');
const { koffi } = win32;

const { dllPath, requests, wakeFlag } = workerData;

const kestrova = koffi.load(dllPath);
const ObserverCallback = koffi.proto('void KestrovaObserverCallback(int count, void *tokens)');
const library = {
    dial: kestrova.func('int kestrovaDial(const uint8_t *name, const uint8_t *number)'),
    startup: kestrova.func('int kestrovaStartup()'),
    hookOff: kestrova.func('int kestrovaHookOff()'),
    hangUp: kestrova.func('int kestrovaHangUp()'),
    addObserver: kestrova.func('int kestrovaAddObserver(KestrovaObserverCallback *observer)'),
    removeObserver: kestrova.func('int kestrovaRemoveObserver(KestrovaObserverCallback *observer)'),
};

const KESTROVA_FAILED = -1;
const CP_ACP = 0;
const CP_UTF8 = 65001;
const CP_WINANSI = 1004;
const WC_NO_BEST_FIT_CHARS = 0x400;
const WC_ERR_INVALID_CHARS = 0x80;
const PM_REMOVE = 1;
const WM_QUIT = 0x12;
const QS_ALLINPUT = 0x4ff;
const MWMO_INPUTAVAILABLE = 4;
const APPCMD_CLIENTONLY = 0x10;
const CBF_FAIL_ALLSVRXACTIONS = 0x3f000;
const CBF_SKIP_ALLNOTIFICATIONS = 0x3c0000;
const QID_SYNC = 0xffffffff;
const ST_CONNECTED = 0x1;
const ST_TERMINATED = 0x20;

// A MSG: 28 bytes on x86, 48 on x64 and arm64.
const MSG_BYTES = 48;
// A notification holds at most this many bytes, so no token holds more.
const MAX_NOTIFICATION_BYTES = 1023;
// Cold start: the phone application takes a moment to serve once started:
// this many looks, this far apart (30 s), before saying it is unreachable.
const COLD_START_TRIES = 120;
const COLD_START_PAUSE_MS = 250;
// How often the phone application's presence is checked once subscribed.
const PRESENCE_CHECK_MS = 1000;

const message = Buffer.alloc(MSG_BYTES);
const wideToken = Buffer.alloc(2 * (MAX_NOTIFICATION_BYTES + 1));

// --- Text ------------------------------------------------------------------------------

// Where text cannot go to the library; null when it can. A control character
// would add lines to the card; a character the ANSI code page cannot hold
// would be dialled as a look-alike or a '?'.
function encodeAnsi(text) {
    const control = /[\u0000-\u001f\u007f-\u009f]/.exec(text);
    if (control) return { fault: 'control', character: control[0] };
    const wide = Buffer.from(text + '\0', 'utf16le');
    const codePage = win32.GetACP();
    // UTF-8 holds every character; only a lone surrogate fails, and that
    // code page takes no used-default flag.
    const utf8 = codePage === CP_UTF8;
    const flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    const usedDefault = [0];
    const size = win32.WideCharToMultiByte(CP_ACP, flags, wide, -1, null, 0, null,
                                           utf8 ? null : usedDefault);
    if (size === 0 || usedDefault[0]) return { fault: 'unmappable', codePage };
    const bytes = Buffer.alloc(size);
    win32.WideCharToMultiByte(CP_ACP, flags, wide, -1, bytes, size, null, null);
    return { bytes };
}

// The terminated ANSI string at address as a JS string.
function decodeAnsi(address) {
    const chars = win32.MultiByteToWideChar(CP_ACP, 0, address, -1, wideToken,
                                            wideToken.length / 2);
    return chars > 0 ? wideToken.toString('utf16le', 0, (chars - 1) * 2) : '';
}

// --- Notifications --------------------------------------------------------------------

// Runs inside the phone application's DDE transaction, which waits for it:
// it copies the tokens, hands them on and returns.
function onNotification(count, tokens) {
    try {
        const words = koffi.decode(tokens, 'void *', count).map(decodeAnsi);
        parentPort.postMessage({ type: 'notification', words });
    } catch (error) {
        parentPort.postMessage({ type: 'internal', message: String(error && error.stack) });
    }
}
const observer = koffi.register(onNotification, koffi.pointer(ObserverCallback));

// --- The phone application's presence, asked of DDE as kestrova-watch does --------------

const ignoreDde = koffi.register(() => 0, koffi.pointer(win32.DdeCallback));
const presence = { instance: 0, service: null, topic: null, conversation: null };

function openPresenceInstance() {
    if (presence.instance) return true;
    const instance = [0];
    const flags = APPCMD_CLIENTONLY | CBF_FAIL_ALLSVRXACTIONS | CBF_SKIP_ALLNOTIFICATIONS;
    if (win32.DdeInitializeA(instance, ignoreDde, flags, 0) !== 0) return false;
    presence.instance = instance[0];
    presence.service = win32.DdeCreateStringHandleA(presence.instance, 'Kestrova', CP_WINANSI);
    presence.topic = win32.DdeCreateStringHandleA(presence.instance, 'Server', CP_WINANSI);
    return true;
}

// Under Wine an instance whose partner went connects no more: each loss
// starts over with a new instance.
function forgetPresence() {
    if (!presence.instance) return;
    win32.DdeFreeStringHandle(presence.instance, presence.service);
    win32.DdeFreeStringHandle(presence.instance, presence.topic);
    win32.DdeUninitialize(presence.instance);
    Object.assign(presence, { instance: 0, service: null, topic: null, conversation: null });
}

// True while the phone application serves; starts nothing. The conversation
// is kept open: one that quits ends it, one that crashed leaves it with no
// partner window.
function phoneServes() {
    if (!presence.conversation) {
        if (!openPresenceInstance()) return false;
        presence.conversation = win32.DdeConnect(presence.instance, presence.service,
                                                 presence.topic, null);
        if (!presence.conversation) forgetPresence();
        return Boolean(presence.conversation);
    }
    const info = { cb: koffi.sizeof(win32.CONVINFO) };
    const serves = win32.DdeQueryConvInfo(presence.conversation, QID_SYNC, info) !== 0 &&
                   (info.wStatus & ST_CONNECTED) !== 0 && (info.wStatus & ST_TERMINATED) === 0 &&
                   win32.IsWindow(info.hwndPartner) !== 0;
    if (!serves) forgetPresence();
    return serves;
}

// --- Subscription ---------------------------------------------------------------------

// starting: cold start tries; subscribed; waiting: for the phone
// application to serve again (it went, or the cold start gave up).
const subscription = { state: 'starting', tries: 0, registered: false, nextTick: 0 };

// Closes the stale link of an earlier try or of a phone application that
// went, then subscribes afresh.
function subscribe() {
    library.removeObserver(subscription.registered ? observer : null);
    subscription.registered = false;
    const result = library.addObserver(observer);
    if (result === 0) {
        subscription.registered = true;
        subscription.state = 'subscribed';
        parentPort.postMessage({ type: 'subscribed' });
    } else {
        library.removeObserver(null);
    }
    return result;
}

// Cold start: one hand-off starts the phone application; then it is
// subscribed to as soon as it serves. Each subscription hands over a card
// too, and every card starts a program that reads the one card file: a try
// only once DDE shows the phone application serving keeps those few.
function coldStartTick() {
    const first = subscription.tries++ === 0;
    if (phoneServes()) {
        const result = subscribe();
        if (result === 0) return PRESENCE_CHECK_MS;
        if (result !== KESTROVA_FAILED) return giveUp(result);
    } else if (first) {
        const result = library.startup();
        if (result !== 0) return giveUp(result);
    }
    return subscription.tries < COLD_START_TRIES ? COLD_START_PAUSE_MS : giveUp(KESTROVA_FAILED);
}

function giveUp(result) {
    subscription.state = 'waiting';
    parentPort.postMessage({ type: 'unreachable', result });
    return PRESENCE_CHECK_MS;
}

// Once a second: has it gone, or is it back? Once gone, it is asked again
// only at the next tick: one still quitting may answer for a moment.
function presenceTick() {
    if (subscription.state === 'subscribed') {
        if (!phoneServes()) {
            subscription.state = 'waiting';
            parentPort.postMessage({ type: 'gone' });
        }
    } else if (phoneServes()) {
        subscribe();
    }
    return PRESENCE_CHECK_MS;
}

function subscriptionTick() {
    const pause = subscription.state === 'starting' ? coldStartTick() : presenceTick();
    subscription.nextTick = Date.now() + pause;
}

// --- Requests -------------------------------------------------------------------------

// Link commands wait for the cold start: sent before the phone application
// serves, they would fail.
const linkCommands = new Set(['hookOff', 'hangUp']);
const held = [];

function dial(request) {
    const name = encodeAnsi(request.name);
    const number = encodeAnsi(request.number);
    const fault = name.fault ? { field: 'name', ...name } : number.fault ? { field: 'number', ...number } : null;
    if (fault) return { type: 'rejected', id: request.id, ...fault };
    return { type: 'result', id: request.id, result: library.dial(name.bytes, number.bytes) };
}

function carryOut(request) {
    if (request.op === 'dial') return dial(request);
    return { type: 'result', id: request.id, result: library[request.op]() };
}

function close() {
    library.removeObserver(subscription.registered ? observer : null);
    subscription.registered = false;
    forgetPresence();
    koffi.unregister(observer);
    koffi.unregister(ignoreDde);
}

// Carries out what is waiting; false once asked to close.
function takeRequests() {
    Atomics.store(wakeFlag, 0, 0);
    for (let entry; (entry = receiveMessageOnPort(requests));) {
        const request = entry.message;
        if (request.op === 'close') return false;
        if (linkCommands.has(request.op) && subscription.state === 'starting') held.push(request);
        else parentPort.postMessage(carryOut(request));
    }
    while (held.length > 0 && subscription.state !== 'starting') {
        parentPort.postMessage(carryOut(held.shift()));
    }
    return true;
}

// Dispatches every waiting message; false on a WM_QUIT.
function dispatchMessages() {
    while (win32.PeekMessageW(message, null, 0, 0, PM_REMOVE)) {
        if (message.readUInt32LE(koffi.sizeof('void *')) === WM_QUIT) return false;
        win32.TranslateMessage(message);
        win32.DispatchMessageW(message);
    }
    return true;
}

function run() {
    // The first PeekMessage gives this thread its message queue, so the
    // main thread's wake-ups can be posted from now on.
    win32.PeekMessageW(message, null, 0, 0, 0);
    parentPort.postMessage({ type: 'ready', threadId: win32.GetCurrentThreadId() });
    for (;;) {
        if (!takeRequests() || !dispatchMessages()) break;
        if (Date.now() >= subscription.nextTick) {
            subscriptionTick();
            continue;
        }
        const wait = Math.max(0, subscription.nextTick - Date.now());
        win32.MsgWaitForMultipleObjectsEx(0, null, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    close();
    requests.close();
    parentPort.postMessage({ type: 'closed' });
}

run();
