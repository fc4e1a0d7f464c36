import { EventEmitter } from 'node:events';

/**
 * A call into KestrovaAPI that returned a result code other than 0. The
 * message gives the meaning of the code for that call, after KestrovaAPI.h.
 */
export class KestrovaError extends Error {
    name: 'KestrovaError';
    /**
     * The result code: -1 the request failed (the phone application could
     * not be reached, did not accept the command within 5 seconds, has gone
     * away; for a dial, name and number exceed 969 bytes), -2 something the
     * library needs could not be had, -3 the hand-off file could not be
     * created, 1 to 32 the shell's error (31: no application handles "dial"
     * on .vcf files).
     */
    code: number;
    /** `dial`, `startup`, `hookOff`, `hangUp`, or `subscribe` for an `unreachable` event. */
    operation: 'dial' | 'startup' | 'hookOff' | 'hangUp' | 'subscribe';
}

/**
 * A dial refused before anything was written: the name or number holds a
 * control character (a line feed would add lines to the card) or a character
 * that the process's ANSI code page (`GetACP`, 65001 included) cannot write.
 */
export interface KestrovaTextError extends RangeError {
    code: 'ERR_KESTROVA_TEXT';
}

/**
 * The phone that the phone application on this machine operates.
 *
 * Every call into the library runs on a worker thread of this object's own,
 * which also dispatches the window messages that deliver the notifications:
 * a command that waits for the phone application (up to 5 seconds) never
 * blocks the caller's event loop, and nothing needs pumping. Works the same
 * in plain Node.js and in Electron's main process.
 *
 * On creation it subscribes by itself, starting the phone application if it
 * is not running and trying for about 10 seconds while it starts. Then it
 * checks once a second that the phone application still serves; when it
 * goes (it quit or crashed) a `gone` event follows, and once it serves again
 * the phone subscribes anew and a `subscribed` event follows.
 *
 * The process keeps running while the phone is open: call {@link close} to
 * let it end.
 *
 * @example
 * const { Phone } = require('kestrova');
 * const phone = new Phone();
 * phone.on('notification', (name, args) => console.log(name, ...args));
 * await phone.dial('Ann Example', '+1 555 0100');
 */
export class Phone extends EventEmitter {
    /**
     * Loads the KestrovaAPI.dll of `process.arch` from this package (from
     * `app.asar.unpacked` in a packaged Electron app) and starts subscribing.
     * @throws Error when not on Windows, or when this package holds no DLL for
     *   `process.arch`.
     */
    constructor();

    /**
     * Places a call: hands the phone application a card with name and number.
     * Resolves once the shell has handed it over; the phone application
     * reads it after that, and its notifications tell how the call goes.
     * @rejects KestrovaTextError when name or number holds a control character
     *   or one the ANSI code page cannot write: nothing is dialled.
     * @rejects KestrovaError with the result code otherwise.
     */
    dial(name: string, number: string): Promise<void>;

    /**
     * Resolves once subscribed, at once if it is. Rejects with the
     * `unreachable` event's error when the cold start gives up.
     */
    whenSubscribed(): Promise<void>;

    /** Starts the phone application if it is not running. */
    startup(): Promise<void>;

    /**
     * Takes the line off hook: answers a ringing call or opens the line.
     * Waits for the first subscription when called during the cold start.
     * @rejects KestrovaError, e.g. -1 when the phone application did not accept it.
     */
    hookOff(): Promise<void>;

    /** Hangs up the current call. As {@link hookOff}. */
    hangUp(): Promise<void>;

    /**
     * Unsubscribes, closes the link to the phone application and ends the
     * worker thread; resolves once it has ended. Later calls reject.
     */
    close(): Promise<void>;

    /**
     * A notification from the phone application, in the order they arrived:
     * its name and arguments, e.g. `call`, `['ringing', 'Ann Example',
     * '+1 555 0100']` (the names are the phone application's own).
     */
    on(event: 'notification', listener: (name: string, args: string[]) => void): this;
    /** Subscribed: on the first subscription and after each return of the phone application. */
    on(event: 'subscribed', listener: () => void): this;
    /** The phone application went away (quit or crashed); it is subscribed again once back. */
    on(event: 'gone', listener: () => void): this;
    /**
     * The cold start gave up: the phone application could not be started or
     * did not serve within about 10 seconds. The phone still subscribes once
     * it serves; {@link startup} starts it again.
     */
    on(event: 'unreachable', listener: (error: KestrovaError) => void): this;
    /** The worker thread failed; pending calls reject with the same error. */
    on(event: 'error', listener: (error: Error) => void): this;
    on(event: string | symbol, listener: (...args: any[]) => void): this;

    once(event: 'notification', listener: (name: string, args: string[]) => void): this;
    once(event: 'subscribed' | 'gone', listener: () => void): this;
    once(event: 'unreachable', listener: (error: KestrovaError) => void): this;
    once(event: string | symbol, listener: (...args: any[]) => void): this;
}
