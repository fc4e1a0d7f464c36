// What the npm package "kestrova" adds, paired against the same work done
// through bare koffi declarations of the DLL on the main thread (the way
// docs/nodejs.md shows without the package), under Wine with the phone
// simulator running and handling "dial". Run by scripts/bench-node from a
// folder where the package was installed.
//
// Each pair runs one block of each side, in random order, with the same
// steps: subscribe; a command's round trip (kestrovaHangUp on an idle
// phone) ROUNDS times; a notification from the simulator's send (a
// control-channel "notify", sent from this thread) to the listener ROUNDS
// times; unsubscribe. The bare side waits for the notification by
// dispatching this thread's messages without pause, its fastest form. A dial
// before each pair keeps the library's placeholder hand-offs skipped (the
// dial window), so that a round trip is the DDE command alone.
// Prints, for each measure, the median of the pairs' ratios of medians
// (package / bare) with its distribution-free 95% interval.
'use strict';

const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { Worker } = require('node:worker_threads');
const { Phone } = require('kestrova');
const win32 = require('kestrova/win32');
const { koffi } = win32;

const PAIRS = Number(process.env.BENCH_PAIRS || 30);
const ROUNDS = Number(process.env.BENCH_ROUNDS || 20);
// Round trips made before a block's timed ones.
const WARM_UP = 3;
const NOTIFICATION = '[bench("tick")]';

const edition = { ia32: 'x86', x64: 'x64', arm64: 'arm64' }[process.arch];
const dll = koffi.load(path.join(path.dirname(require.resolve('kestrova')), edition, 'KestrovaAPI.dll'));
const BareObserver = koffi.proto('void BareObserver(int count, void *tokens)');
const bare = {
    dial: dll.func('int kestrovaDial(const char *name, const char *number)'),
    hangUp: dll.func('int kestrovaHangUp()'),
    addObserver: dll.func('int kestrovaAddObserver(BareObserver *observer)'),
    removeObserver: dll.func('int kestrovaRemoveObserver(BareObserver *observer)'),
};
const wideToken = Buffer.alloc(2048);
const decodeAnsi = address => {
    const chars = win32.MultiByteToWideChar(0, 0, address, -1, wideToken, wideToken.length / 2);
    return wideToken.toString('utf16le', 0, (chars - 1) * 2);
};

// The simulator is asked to send from a thread of its own, so that neither
// side's listening thread is busy sending: it notes the time of the send
// (on the clock all threads share) and then asks.
const sentAt = new Float64Array(new SharedArrayBuffer(8));
const sender = new Worker(`
    const { parentPort, workerData } = require('node:worker_threads');
    const { performance } = require('node:perf_hooks');
    const win32 = require(workerData.win32);
    const command = Buffer.from(workerData.command, 'latin1');
    const window = win32.FindWindowA('KestrovaStandinPhone', null);
    parentPort.on('message', () => {
        workerData.sentAt[0] = performance.timeOrigin + performance.now();
        win32.SendMessageTimeoutA(window, 0x4a, 0,
            { dwData: 0x4b430001, cbData: command.length, lpData: command }, 0, 5000, [0]);
    });`, { eval: true, workerData: { win32: require.resolve('kestrova/win32'), sentAt,
                                      command: `notify execute 1 ${NOTIFICATION}` } });
sender.unref();
const now = () => performance.timeOrigin + performance.now();
const sendNotification = () => sender.postMessage(0);
const sinceSent = () => now() - sentAt[0];

const message = Buffer.alloc(48);
function dispatchMessages() {
    while (win32.PeekMessageW(message, null, 0, 0, 1)) {
        win32.TranslateMessage(message);
        win32.DispatchMessageW(message);
    }
}

const median = values => {
    const sorted = [...values].sort((a, b) => a - b);
    const middle = sorted.length >> 1;
    return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
};

// The number of ratios below the true median is binomial(n, 1/2): the
// ratios at these ranks bound it with 95% confidence (as bench/paired_ratio.h).
function estimate(ratios) {
    const sorted = [...ratios].sort((a, b) => a - b);
    const n = sorted.length, spread = 1.96 * Math.sqrt(n) / 2;
    const atRank = rank => sorted[Math.min(Math.max(Math.round(rank), 1), n) - 1];
    return { median: median(sorted), low: atRank(n / 2 - spread), high: atRank(n / 2 + 1 + spread) };
}

async function bareBlock() {
    let heard = 0, heardAfter = 0;
    const observer = koffi.register((count, tokens) => {
        koffi.decode(tokens, 'void *', count).map(decodeAnsi);
        heardAfter = sinceSent();
        heard++;
    }, koffi.pointer(BareObserver));
    while (bare.addObserver(observer) !== 0) {
        bare.removeObserver(null);
        dispatchMessages();
    }
    const trips = [], notifications = [];
    for (let i = 0; i < WARM_UP + ROUNDS; i++) {
        const start = performance.now();
        bare.hangUp();
        if (i >= WARM_UP) trips.push(performance.now() - start);
        dispatchMessages();
    }
    for (let i = 0; i < ROUNDS; i++) {
        const before = heard;
        sendNotification();
        while (heard === before) {
            win32.MsgWaitForMultipleObjectsEx(0, null, 1000, 0x4ff, 4);
            dispatchMessages();
        }
        notifications.push(heardAfter);
    }
    bare.removeObserver(observer);
    koffi.unregister(observer);
    return { trip: median(trips), notification: median(notifications) };
}

async function packageBlock() {
    const phone = new Phone();
    let arrived = null;
    phone.on('notification', () => arrived && arrived());
    await phone.whenSubscribed();
    const trips = [], notifications = [];
    for (let i = 0; i < WARM_UP + ROUNDS; i++) {
        const start = performance.now();
        await phone.hangUp();
        if (i >= WARM_UP) trips.push(performance.now() - start);
    }
    for (let i = 0; i < ROUNDS; i++) {
        const heard = new Promise(resolve => { arrived = () => resolve(sinceSent()); });
        sendNotification();
        notifications.push(await heard);
    }
    await phone.close();
    return { trip: median(trips), notification: median(notifications) };
}

function report(what, ratios, bareMs, packageMs) {
    const e = estimate(ratios);
    console.log(`${what}: package/bare median ${e.median.toFixed(3)}x, 95% interval ` +
                `[${e.low.toFixed(3)}, ${e.high.toFixed(3)}] over ${ratios.length} pairs ` +
                `(medians: bare ${median(bareMs).toFixed(2)} ms, package ${median(packageMs).toFixed(2)} ms)`);
}

async function main() {
    const trip = [], notification = [], bareTrip = [], bareNote = [], packTrip = [], packNote = [];
    for (let pair = 0; pair < PAIRS; pair++) {
        bare.dial('Bench', '1');
        let b, p;
        if (Math.random() < 0.5) { b = await bareBlock(); p = await packageBlock(); }
        else { p = await packageBlock(); b = await bareBlock(); }
        trip.push(p.trip / b.trip);
        notification.push(p.notification / b.notification);
        bareTrip.push(b.trip); packTrip.push(p.trip);
        bareNote.push(b.notification); packNote.push(p.notification);
    }
    console.log(`Node.js ${process.version} ${process.arch}, ${ROUNDS} rounds per block`);
    report('command round trip', trip, bareTrip, packTrip);
    report('notification, send to listener', notification, bareNote, packNote);
}

main().catch(error => { console.error(error); process.exitCode = 1; });
