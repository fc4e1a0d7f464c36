// Places a call through the phone application with the npm package
// "kestrova": subscribes, dials, takes the line off hook, hangs up, prints
// every notification as it arrives, and ends by itself.
//
//   npm install kestrova        (or the release's kestrova-<version>.tgz)
//   node kestrova_package_demo.js [name [number]]
'use strict';

const { Phone } = require('kestrova');

// How long to wait for each step of the call to be reported.
const STEP_WAIT_MS = 10000;

// Resolves once the phone has said state in a "call" notification, or after ms.
function whenCall(phone, state, ms = STEP_WAIT_MS) {
    return new Promise(resolve => {
        const timer = setTimeout(finish, ms);
        function listen(name, args) {
            if (name === 'call' && args[0] === state) finish();
        }
        function finish() {
            clearTimeout(timer);
            phone.off('notification', listen);
            resolve();
        }
        phone.on('notification', listen);
    });
}

async function main() {
    const name = process.argv[2] || 'Ann Example';
    const number = process.argv[3] || '+1 555 0100';
    console.log(`kestrova demo: calling ${name} at ${number}\n`);

    const phone = new Phone();
    phone.on('notification', (word, args) => console.log(`    phone says: ${word} ${args.join(', ')}`));
    phone.on('gone', () => console.log('the phone application has gone; waiting for it'));
    try {
        await phone.whenSubscribed();
        console.log('subscribed');
        const ringing = whenCall(phone, 'ringing');
        await phone.dial(name, number);
        await ringing;                      // the phone has read the card
        const connected = whenCall(phone, 'connected');
        await phone.hookOff();
        await connected;
        const ended = whenCall(phone, 'ended');
        await phone.hangUp();
        await ended;
    } finally {
        await phone.close();
    }
    console.log('\nDone.');
}

main().catch(error => {
    console.error(error.message);           // what failed, and what its result code means
    process.exitCode = 1;
});
