using System;
using System.Collections.Concurrent;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;

namespace Kestrova
{
    /// <summary>
    /// The phone that the phone application on this machine operates.
    /// </summary>
    /// <remarks>
    /// Create it on any thread and dispose it to stop; one at a time per
    /// process, as KestrovaAPI has one observer per process. It runs a thread
    /// of its own that dispatches Windows messages and makes every call into
    /// KestrovaAPI.dll, so the caller needs no message loop, and calls from
    /// several threads are made one after another there. It subscribes to the
    /// phone application's notifications by itself, starting the application
    /// if needed, and again after the application went and came back.
    /// Events are raised through the SynchronizationContext that was current
    /// when the phone was created (the UI thread of WinForms or WPF), else on
    /// the thread pool, one at a time and in the order they arrived.
    /// </remarks>
    public sealed class Phone : IDisposable
    {
        // Dial: name and number together, in bytes of the ANSI code page.
        const int MaxDialBytes = 969;
        const int ColdStartRetryMs = 500;
        const int FailedStartRetryMs = 2000;
        const int PresenceCheckMs = 1000;
        // A start that has not answered by then is tried once more.
        const int StartAgainMs = 15000;
        // A subscription while the phone application does not answer hands
        // it a placeholder card through the shell, whose program reads the
        // one shared card file only once it has started. A dial before then
        // would have its card read twice, and dialled twice: dials wait this
        // long after such a subscription.
        const int HandOffSettleMs = 3000;

        static int instances;

        readonly KestrovaLibrary library;
        readonly EventDispatcher events;
        readonly KestrovaLibrary.ObserverCallback observer;  // kept alive while the library holds it
        readonly ConcurrentQueue<Command> commands = new ConcurrentQueue<Command>();
        readonly AutoResetEvent commandsWaiting = new AutoResetEvent(false);
        readonly object gate = new object();
        readonly Thread thread;
        volatile bool disposed;
        volatile bool subscribed;
        TaskCompletionSource<bool> subscription = NewSource();

        // The link thread's own.
        enum LinkState { Starting, Subscribed, Away }
        LinkState state = LinkState.Starting;
        PhonePresence presence;
        int nextTickAt;
        int lastError;
        int lastHandOffAt;
        int dialsFrom;
        bool wentAway;  // it was subscribed once: the user may have quit it

        /// <summary>
        /// Loads KestrovaAPI.dll of the process's architecture and starts the
        /// phone's thread, which subscribes at once (starting the phone
        /// application if it does not run yet).
        /// </summary>
        /// <exception cref="InvalidOperationException">Another Phone of this process is not disposed yet.</exception>
        /// <exception cref="DllNotFoundException">No KestrovaAPI.dll of the process's architecture was found.</exception>
        public Phone()
        {
            if (Interlocked.CompareExchange(ref instances, 1, 0) != 0)
                throw new InvalidOperationException("Another Phone of this process is in use: KestrovaAPI serves " +
                                                    "one observer per process. Dispose it first.");
            try {
                library = KestrovaLibrary.Load();
            } catch {
                Volatile.Write(ref instances, 0);
                throw;
            }
            events = new EventDispatcher(SynchronizationContext.Current, RaiseHandlerFailed);
            observer = OnNotification;
            thread = new Thread(RunLink) { IsBackground = true, Name = "Kestrova phone link" };
            thread.Start();
        }

        /// <summary>A notification of the phone application, e.g. <c>call "ringing", name, number</c>.</summary>
        public event EventHandler<NotificationEventArgs> Notification;

        /// <summary>The subscription was made, the phone application went, or a try to subscribe failed.</summary>
        public event EventHandler<PhoneStatusEventArgs> StatusChanged;

        /// <summary>A handler of this phone's events threw; the exception goes no further.</summary>
        public event EventHandler<HandlerFailedEventArgs> HandlerFailed;

        /// <summary>Whether notifications arrive now.</summary>
        public bool IsSubscribed => subscribed;

        /// <summary>The full path of the KestrovaAPI.dll in use.</summary>
        public string LibraryPath => library.Path;

        /// <summary>Completes once the phone is subscribed (at once if it is).</summary>
        public Task WhenSubscribed() => Volatile.Read(ref subscription).Task;

        /// <summary>
        /// Places a call: the phone application reads a card with the name and
        /// the number (and starts if it does not run). Completes when the shell
        /// has handed the card over.
        /// </summary>
        /// <param name="name">The party's name; null or empty for none.</param>
        /// <param name="number">The number to dial.</param>
        /// <exception cref="ArgumentException">
        /// The name or number holds a control character (a CR or LF would add
        /// lines to the card) or a character the ANSI code page cannot hold,
        /// or they are too long together; nothing is written or dialled.
        /// </exception>
        public Task DialAsync(string name, string number)
        {
            if (string.IsNullOrEmpty(number)) throw new ArgumentException("There is no number to dial.", nameof(number));
            byte[] nameBytes = AnsiText.Encode(name, nameof(name));
            byte[] numberBytes = AnsiText.Encode(number, nameof(number));
            if (nameBytes.Length + numberBytes.Length - 2 > MaxDialBytes)
                throw new ArgumentException("The name and the number together exceed " + MaxDialBytes +
                                            " bytes in the ANSI code page; nothing was dialled.", nameof(name));
            return Run(new Command("kestrovaDial", () => library.Dial(nameBytes, numberBytes), isDial: true));
        }

        /// <summary>Starts the phone application if it does not run; does not wait for it to be ready.</summary>
        public Task StartPhoneAsync() => Run(new Command("kestrovaStartup", () => library.Startup()));

        /// <summary>Takes the line off hook: answers a ringing call or opens the line.</summary>
        public Task HookOffAsync() => Run(new Command("kestrovaHookOff", () => library.HookOff()));

        /// <summary>Hangs up the current call.</summary>
        public Task HangUpAsync() => Run(new Command("kestrovaHangUp", () => library.HangUp()));

        /// <summary>
        /// Removes the subscription and ends the phone's thread; commands not
        /// started yet fail with ObjectDisposedException and no event is raised
        /// after this. Waits for a command under way (up to about 5 s).
        /// </summary>
        public void Dispose()
        {
            lock (gate) {
                if (disposed) return;
                disposed = true;
            }
            commandsWaiting.Set();
            if (Thread.CurrentThread != thread) thread.Join();
            Volatile.Read(ref subscription).TrySetException(new ObjectDisposedException(nameof(Phone)));
            Volatile.Write(ref instances, 0);
        }

        // --- The caller's side -------------------------------------------------------------

        Task Run(Command command)
        {
            lock (gate) {
                if (disposed) throw new ObjectDisposedException(nameof(Phone));
                commands.Enqueue(command);
            }
            commandsWaiting.Set();
            return command.Task;
        }

        static TaskCompletionSource<bool> NewSource() =>
            new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);

        void Raise<T>(EventHandler<T> handlers, T arguments)
        {
            if (!disposed) handlers?.Invoke(this, arguments);
        }

        void RaiseHandlerFailed(Exception exception)
        {
            try {
                HandlerFailed?.Invoke(this, new HandlerFailedEventArgs(exception));
            } catch (Exception) {
                // A failing HandlerFailed handler has nowhere left to report to.
            }
        }

        // --- The link's thread -------------------------------------------------------------

        void RunLink()
        {
            presence = new PhonePresence();
            IntPtr[] wakeUp = { commandsWaiting.SafeWaitHandle.DangerousGetHandle() };
            nextTickAt = Environment.TickCount;
            while (!disposed) {
                int wait = Math.Max(0, NextDueAt() - Environment.TickCount);
                NativeMethods.MsgWaitForMultipleObjectsEx(1, wakeUp, (uint)wait, NativeMethods.QS_ALLINPUT,
                                                          NativeMethods.MWMO_INPUTAVAILABLE);
                DispatchMessages();
                if (disposed) break;
                RunCommands();
                if (!disposed && Environment.TickCount - nextTickAt >= 0) Tick();
            }
            AbandonCommands();
            CloseLink();
            presence.Dispose();
            subscribed = false;
            GC.KeepAlive(commandsWaiting);
        }

        static void DispatchMessages()
        {
            while (NativeMethods.PeekMessageW(out NativeMethods.MSG message, IntPtr.Zero, 0, 0, NativeMethods.PM_REMOVE)) {
                NativeMethods.TranslateMessage(ref message);
                NativeMethods.DispatchMessageW(ref message);
            }
        }

        // The commands in order; a dial too soon after a subscription's
        // hand-off holds itself and those after it back.
        void RunCommands()
        {
            while (!disposed && commands.TryPeek(out Command command)) {
                if (command.IsDial && DialsHeld()) return;
                commands.TryDequeue(out command);
                command.Run();
            }
        }

        int NextDueAt()
        {
            if (commands.TryPeek(out Command command) && command.IsDial && DialsHeld() && dialsFrom - nextTickAt < 0)
                return dialsFrom;
            return nextTickAt;
        }

        // Compared as a time left, which the tick count's wrap-around cannot fool.
        bool DialsHeld()
        {
            int left = dialsFrom - Environment.TickCount;
            return left > 0 && left <= HandOffSettleMs;
        }

        void AbandonCommands()
        {
            while (commands.TryDequeue(out Command command)) command.Abandon();
        }

        // Once per period: subscribe, or check that the phone application is
        // still there.
        void Tick()
        {
            int now = Environment.TickCount;
            switch (state) {
                case LinkState.Starting:
                    // The subscription's hand-off starts the phone application.
                    // Until it answers DDE, no further hand-off: each would
                    // start one more program that reads the shared card file
                    // late, perhaps after a dial has written it.
                    bool answers = presence.Connect();
                    if (!answers) lastHandOffAt = now;
                    if (!TrySubscribe(answers) && lastError == KestrovaException.Failed) state = LinkState.Away;
                    nextTickAt = now + (state == LinkState.Starting ? FailedStartRetryMs : ColdStartRetryMs);
                    return;
                case LinkState.Subscribed:
                    if (!presence.IsOpen ? !presence.Connect() : !presence.StillConnected()) LoseSubscription();
                    nextTickAt = now + PresenceCheckMs;
                    return;
                case LinkState.Away:
                    // Only an application that answers DDE is subscribed to: a
                    // hand-off would start one the user quit.
                    if (presence.Connect()) TrySubscribe(true);
                    else if (!wentAway && now - lastHandOffAt >= StartAgainMs) state = LinkState.Starting;
                    nextTickAt = now + (wentAway ? PresenceCheckMs : ColdStartRetryMs);
                    return;
            }
        }

        // Subscribes after closing any stale link; on a failure closes the
        // link the try left, so that the next try reaches a phone
        // application started meanwhile. The library hands a card over only
        // to a phone application that does not answer.
        bool TrySubscribe(bool phoneAnswers)
        {
            CloseLink();
            int result = library.AddObserver(observer);
            if (!phoneAnswers) dialsFrom = Environment.TickCount + HandOffSettleMs;
            if (result == 0) {
                state = LinkState.Subscribed;
                lastError = 0;
                subscribed = true;
                presence.Connect();
                Volatile.Read(ref subscription).TrySetResult(true);
                events.Post(() => Raise(StatusChanged, new PhoneStatusEventArgs(PhoneStatus.Subscribed, null)));
                return true;
            }
            library.RemoveObserver(null);
            if (result != lastError) {
                lastError = result;
                var error = new KestrovaException("kestrovaAddObserver", result);
                events.Post(() => Raise(StatusChanged, new PhoneStatusEventArgs(PhoneStatus.Connecting, error)));
            }
            return false;
        }

        void LoseSubscription()
        {
            state = LinkState.Away;
            wentAway = true;
            subscribed = false;
            lastError = 0;
            CloseLink();
            Volatile.Write(ref subscription, NewSource());
            events.Post(() => Raise(StatusChanged, new PhoneStatusEventArgs(PhoneStatus.Gone, null)));
        }

        // Removes the observer and closes the link, whichever is there.
        void CloseLink()
        {
            if (library.RemoveObserver(observer) != 0) library.RemoveObserver(null);
        }

        // Runs inside the phone application's DDE transaction: copies the
        // tokens, hands them to the event queue and returns at once. Nothing
        // may leave it.
        void OnNotification(int count, IntPtr tokens)
        {
            try {
                if (count < 1 || tokens == IntPtr.Zero) return;
                var words = new string[count];
                for (int i = 0; i < count; ++i) words[i] = AnsiText.Decode(Marshal.ReadIntPtr(tokens, i * IntPtr.Size));
                var arguments = new NotificationEventArgs(words);
                events.Post(() => Raise(Notification, arguments));
            } catch (Exception) {
                // Dropped rather than thrown into the library's C code.
            }
        }

        /// <summary>A call queued for the link's thread, and its task.</summary>
        sealed class Command
        {
            readonly string function;
            readonly Func<int> call;
            readonly TaskCompletionSource<bool> completion = NewSource();

            internal Command(string function, Func<int> call, bool isDial = false)
            {
                this.function = function;
                this.call = call;
                IsDial = isDial;
            }

            internal bool IsDial { get; }

            internal Task Task => completion.Task;

            internal void Run()
            {
                int result;
                try {
                    result = call();
                } catch (Exception e) {
                    completion.TrySetException(e);
                    return;
                }
                if (result == 0) completion.TrySetResult(true);
                else completion.TrySetException(new KestrovaException(function, result));
            }

            internal void Abandon() => completion.TrySetException(new ObjectDisposedException(nameof(Phone)));
        }
    }
}
