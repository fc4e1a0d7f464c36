// Run by check-node-package under Wine, with Node.js for Windows, from a
// folder where the packed "kestrova" was installed with npm. No phone
// application runs at the start; KESTROVA_SIM names the phone simulator,
// which handles "dial". Prints "ok: ..." per check and "FAILED: ..." per
// fault; ends by itself after close() (the caller checks that it did, and
// that the simulator has no subscriber left).
'use strict';

const { spawn, spawnSync } = require('node:child_process');
const { Phone, KestrovaError } = require('kestrova');
const win32 = require('kestrova/win32');

const simulator = process.env.KESTROVA_SIM;
const party = ['Zoë Ärger', '+1 555 0100'];
// How long the simulator holds its answer to a command, and the timer that
// must keep firing meanwhile.
const HOLD_MS = 3000;
const TICK_MS = 20;
const MAX_GAP_MS = 100;
const WAIT_MS = 30000;

let faults = 0;
const began = Date.now();
function check(what, good, detail = '') {
    const at = `[${((Date.now() - began) / 1000).toFixed(1)} s]`;
    if (good) console.log(`ok: ${what} ${at}`);
    else { faults++; console.log(`FAILED: ${what}${detail ? ` (${detail})` : ''} ${at}`); }
}

const heard = [];
function waitFor(phone, event, ms = WAIT_MS) {
    return new Promise(resolve => {
        const timer = setTimeout(() => { phone.off(event, done); resolve(false); }, ms);
        function done() { clearTimeout(timer); resolve(true); }
        phone.once(event, done);
    });
}
async function waitToHear(count, ms = WAIT_MS) {
    for (const end = Date.now() + ms; heard.length < count && Date.now() < end;) {
        await new Promise(resolve => setTimeout(resolve, 20));
    }
    return heard.length >= count;
}
const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

// A command on the simulator's control channel (WM_COPYDATA to its window).
const WM_COPYDATA = 0x4a;
const COPY_CONTROL_COMMAND = 0x4b430001;
function control(command) {
    const window = win32.FindWindowA('KestrovaStandinPhone', null);
    const text = Buffer.from(command, 'latin1');
    const result = [0];
    return Boolean(window) && win32.SendMessageTimeoutA(window, WM_COPYDATA, 0,
        { dwData: COPY_CONTROL_COMMAND, cbData: text.length, lpData: text }, 0, 5000, result) !== 0 &&
        result[0] !== 0;
}
const runSimulator = command => spawnSync(simulator, [command], { stdio: 'ignore' }).status;
const startSimulator = () => spawn(simulator, [], { stdio: 'ignore', detached: true }).unref();

const callWords = (state, ...rest) => ['call', state, ...party, ...rest].join('|');

// A call placed, taken and hung up: its four notifications, in order.
async function placeCall(phone, when) {
    const from = heard.length;
    await phone.dial(...party);
    await waitToHear(from + 2);
    await phone.hookOff();
    await waitToHear(from + 3);
    await phone.hangUp();
    await waitToHear(from + 4);
    const wanted = [callWords('dialling'), callWords('ringing'), callWords('connected'),
                    callWords('ended', 'local')];
    const seen = heard.slice(from);
    check(`${when}: the call's four notifications in order`, seen.join('\n') === wanted.join('\n'),
          seen.join('; '));
}

// While the simulator holds its answer, the event loop keeps running.
async function holdWithoutStalling(phone) {
    check('the simulator holds its answers', control(`hang ${HOLD_MS}`));
    const from = heard.length;
    const started = Date.now();
    let last = started, longest = 0;
    const gaps = [];
    const timer = setInterval(() => {
        const now = Date.now();
        if (now - last > 50) gaps.push(`${last - started}+${now - last}`);
        longest = Math.max(longest, now - last);
        last = now;
    }, TICK_MS);
    await phone.hookOff();
    const took = Date.now() - started;
    clearInterval(timer);
    control('hang 0');
    check(`hookOff waited for the held answer (${took} ms)`, took >= HOLD_MS - 100);
    check(`a ${TICK_MS} ms timer never stopped meanwhile (longest gap ${longest} ms)`, longest <= MAX_GAP_MS, gaps.join(' '));
    await phone.hangUp();
    await waitToHear(from + 2);  // the line open, and closed again
}

// The phone would say it dials the name, or the look-alike or '?' that
// stands in for what the code page cannot hold.
async function rejectsText(phone, name, what) {
    const from = heard.length;
    let error = null;
    try { await phone.dial(name, party[1]); } catch (e) { error = e; }
    check(`a name with ${what} is refused`, error instanceof RangeError && error.code === 'ERR_KESTROVA_TEXT',
          String(error));
    await sleep(1000);
    const dialled = heard.slice(from).filter(words => words.startsWith('call|dialling|') &&
                                                      !words.startsWith(callWords('dialling')));
    check(`a name with ${what} dials nothing`, dialled.length === 0, dialled.join('; '));
}

// The phone application goes (by command: quit or crash) and comes back.
async function survives(phone, command) {
    const gone = waitFor(phone, 'gone');
    runSimulator(command);
    check(`after ${command}: the phone says it has gone`, await gone);
    const back = waitFor(phone, 'subscribed');
    startSimulator();
    check(`after ${command}: subscribed again once it is back`, await back);
    await placeCall(phone, `after ${command}`);
}

async function checkPhone(phone) {
    check('subscribed on a cold start', await phone.whenSubscribed().then(() => true, () => false));
    await placeCall(phone, 'cold start');
    await holdWithoutStalling(phone);
    heard.length = 0;
    await rejectsText(phone, 'Ωmega Ärger', 'a character outside the ANSI code page');
    await rejectsText(phone, 'Ann\nExample', 'a line feed');
    await survives(phone, 'quit');
    await survives(phone, 'crash');
}

async function main() {
    const phone = new Phone();
    phone.on('notification', (name, args) => heard.push([name, ...args].join('|')));
    try {
        await checkPhone(phone);
    } catch (error) {
        check('no call rejected', false, error.stack);
    }
    const closed = phone.close();
    let refused = null;
    await phone.hookOff().catch(error => { refused = error; });
    await closed;
    check('a command after close is refused', refused instanceof Error && !(refused instanceof KestrovaError));
    console.log(faults === 0 ? 'every check passed' : `${faults} checks failed`);
    process.exitCode = faults === 0 ? 0 : 1;
}

main();
