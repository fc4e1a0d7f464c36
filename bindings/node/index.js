// The main thread's side: a Phone object whose calls are carried out by a
// worker thread of its own (worker.js), so that no wait for the phone
// application ever blocks this thread's event loop.
'use strict';

const { EventEmitter } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { Worker, MessageChannel } = require('node:worker_threads');

// The DLL folder of each process.arch this package can carry.
const EDITIONS = { ia32: 'x86', x64: 'x64', arm64: 'arm64' };
const WM_APP = 0x8000;

// What a result code means, for each function, after KestrovaAPI.h.
const HANDOFF_FAILED = 'the card could not be handed over whole (the temporary directory ' +
    'reported no length, or the card did not reach the disk whole)';
const LINK_FAILED = 'the phone application could not be reached (it does not serve yet, ' +
    'or not at all), did not accept the command within 5 seconds, or has gone away; or ' +
    HANDOFF_FAILED;
const FAILED = {
    dial: 'name and number exceed 969 bytes, so nothing was written or dialled; or ' + HANDOFF_FAILED,
    startup: HANDOFF_FAILED,
    hookOff: LINK_FAILED,
    hangUp: LINK_FAILED,
};
const NO_RESOURCE = 'something the library needs could not be had: the temporary directory, ' +
    'memory, the DDE instance, a name handle or a handle on the calling thread';
const NO_FILE = 'the hand-off file could not be created in the temporary directory';
const SHELL_ERRORS = {
    2: 'the file was not found', 3: 'the path was not found', 5: 'access was denied',
    8: 'there was not enough memory', 26: 'a sharing violation occurred',
    27: 'the association of "dial" with .vcf files is incomplete', 28: 'the DDE transaction timed out',
    29: 'the DDE transaction failed', 30: 'other DDE transactions were being processed',
    31: 'no application handles "dial" on .vcf files (SE_ERR_NOASSOC)',
    32: 'a DLL was not found',
};

function meaning(operation, code) {
    if (code === -1) return FAILED[operation] || LINK_FAILED;
    if (code === -2) return NO_RESOURCE;
    if (code === -3) return NO_FILE;
    const shell = SHELL_ERRORS[code] || 'it could not be carried out';
    return `the shell's "dial" action failed: ${shell} (shell error ${code})`;
}

/** A call into KestrovaAPI that returned a result code other than 0. */
class KestrovaError extends Error {
    constructor(operation, code) {
        super(`${operation}: ${meaning(operation, code)} (result ${code})`);
        this.name = 'KestrovaError';
        this.code = code;
        this.operation = operation;
    }
}

// The DLL for this process, by full path. In a packaged Electron app this
// folder lies inside app.asar, which Windows cannot load from: the copy
// beside it in app.asar.unpacked is the one.
function dllPath() {
    if (process.platform !== 'win32') {
        throw new Error(`kestrova: KestrovaAPI runs on Windows only, not on ${process.platform}`);
    }
    const edition = EDITIONS[process.arch];
    const folder = __dirname.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
    const file = edition && path.join(folder, edition, 'KestrovaAPI.dll');
    if (!file || !fs.existsSync(file)) {
        const inAsar = folder !== __dirname ? ': unpack it from app.asar (asarUnpack "**/node_modules/kestrova/**")' : '';
        throw new Error(`kestrova: no KestrovaAPI.dll for ${process.arch} in ${path.dirname(file || folder)}${inAsar}`);
    }
    return file;
}

let postThreadMessage = null;
// Wakes the worker from its wait for window messages.
function wake(threadId) {
    if (!postThreadMessage) postThreadMessage = require('./win32').PostThreadMessageW;
    postThreadMessage(threadId, WM_APP, 0, 0);
}

/**
 * The phone: subscribes by itself, follows the phone application through
 * restarts, and carries out commands without blocking the event loop.
 */
class Phone extends EventEmitter {
    #worker;
    #requests;
    #wakeFlag = new Int32Array(new SharedArrayBuffer(4));
    #threadId = 0;
    #waiting = [];      // requests sent before the worker was ready
    #pending = new Map();
    #nextId = 1;
    #closed = false;
    #subscribed = false;
    #exited;

    constructor() {
        super();
        const { port1, port2 } = new MessageChannel();
        this.#requests = port1;
        this.#worker = new Worker(path.join(__dirname, 'worker.js'), {
            workerData: { dllPath: dllPath(), requests: port2, wakeFlag: this.#wakeFlag },
            transferList: [port2],
        });
        this.#worker.on('message', message => this.#onMessage(message));
        this.#worker.on('error', error => this.#onWorkerError(error));
        this.#exited = new Promise(resolve => this.#worker.once('exit', () => {
            this.#onWorkerExit();
            resolve();
        }));
    }

    /** Places a call to number, showing name. */
    dial(name, number) {
        if (typeof name !== 'string' || typeof number !== 'string') {
            return Promise.reject(new TypeError('kestrova: dial(name, number) takes two strings'));
        }
        return this.#request({ op: 'dial', name, number });
    }

    /** Starts the phone application if it is not running. */
    startup() { return this.#request({ op: 'startup' }); }

    /** Takes the line off hook: answers a ringing call or opens the line. */
    hookOff() { return this.#request({ op: 'hookOff' }); }

    /** Hangs up the current call. */
    hangUp() { return this.#request({ op: 'hangUp' }); }

    /**
     * Resolves once subscribed (at once if it is); rejects when the cold
     * start gives up, with that 'unreachable' event's error.
     */
    whenSubscribed() {
        if (this.#subscribed) return Promise.resolve();
        if (this.#closed) return Promise.reject(new Error('kestrova: whenSubscribed after close()'));
        return new Promise((resolve, reject) => {
            const settle = error => {
                this.off('subscribed', settle);
                this.off('unreachable', settle);
                if (error) reject(error); else resolve();
            };
            this.on('subscribed', settle);
            this.on('unreachable', settle);
        });
    }

    /** Unsubscribes and ends the worker; resolves once it has ended. */
    close() {
        if (!this.#closed) {
            this.#closed = true;
            this.#send({ op: 'close' });
        }
        return this.#exited;
    }

    #request(request) {
        if (this.#closed) return Promise.reject(new Error(`kestrova: ${request.op} after close()`));
        const id = this.#nextId++;
        return new Promise((resolve, reject) => {
            this.#pending.set(id, { op: request.op, resolve, reject });
            this.#send({ ...request, id });
        });
    }

    #send(request) {
        if (!this.#threadId) {
            this.#waiting.push(request);
            return;
        }
        this.#requests.postMessage(request);
        // One wake-up for any number of requests the worker has not yet taken.
        if (Atomics.exchange(this.#wakeFlag, 0, 1) === 0) wake(this.#threadId);
    }

    #onMessage(message) {
        switch (message.type) {
            case 'ready':
                this.#threadId = message.threadId;
                for (const request of this.#waiting.splice(0)) this.#send(request);
                break;
            case 'notification':
                this.emit('notification', message.words[0], message.words.slice(1));
                break;
            case 'result':
            case 'rejected':
                this.#settle(message);
                break;
            case 'subscribed':
            case 'gone':
                this.#subscribed = message.type === 'subscribed';
                this.emit(message.type);
                break;
            case 'unreachable':
                this.emit('unreachable', new KestrovaError('subscribe', message.result));
                break;
            case 'internal':
                this.emit('warning', new Error(`kestrova: the observer failed: ${message.message}`));
                break;
        }
    }

    #settle(message) {
        const request = this.#pending.get(message.id);
        this.#pending.delete(message.id);
        if (message.type === 'rejected') {
            request.reject(rejection(message));
        } else if (message.result === 0) {
            request.resolve();
        } else {
            request.reject(new KestrovaError(request.op, message.result));
        }
    }

    #onWorkerError(error) {
        this.#failPending(error);
        this.emit('error', error);
    }

    #onWorkerExit() {
        this.#requests.close();
        this.#failPending(new Error('kestrova: the phone was closed'));
    }

    #failPending(error) {
        for (const request of this.#pending.values()) request.reject(error);
        this.#pending.clear();
    }
}

// Why a dial was refused before anything was written.
function rejection({ field, fault, character, codePage }) {
    const text = fault === 'control'
        ? `the ${field} holds a control character (U+${character.codePointAt(0).toString(16).toUpperCase().padStart(4, '0')})`
        : `the ${field} holds a character that the ANSI code page (${codePage}) cannot write`;
    const error = new RangeError(`kestrova: dial: ${text}; nothing was dialled`);
    error.code = 'ERR_KESTROVA_TEXT';
    return error;
}

module.exports = { Phone, KestrovaError };
