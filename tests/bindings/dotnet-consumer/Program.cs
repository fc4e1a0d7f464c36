// Drives the Kestrova package against the phone simulator the way an
// integrator's program would, from a thread with a SynchronizationContext of
// its own, and says what it saw; exit code 0 when everything held.
//   Consumer SIMULATOR.EXE
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;
using Kestrova;

static class Program
{
    const string Name = "Zo\u00EB \u00C4rger";
    const string Number = "+1 555 0100";
    const int LongestStallMs = 100;
    const int HoldMs = 3000;
    // Turns of the loop while a command is held: it went on all along.
    const int MinimumTurns = 20;

    static readonly LoopContext loop = new LoopContext();
    static readonly List<string> heard = new List<string>();
    static readonly List<PhoneStatus> statuses = new List<PhoneStatus>();
    static int handlerFailures;
    static int offThreadEvents;
    static int mainThread;
    static string simulator;
    // .NET 8 for x64 under Wine 8 hangs at the second exception a program
    // throws, even one that only throws and catches; its
    // runs leave out the checks that throw.
    static readonly bool throwing = Environment.GetEnvironmentVariable("KESTROVA_NO_THROWING") == null;
    static bool ok = true;

    static int Main(string[] args)
    {
        simulator = args[0];
        mainThread = Thread.CurrentThread.ManagedThreadId;
        SynchronizationContext.SetSynchronizationContext(loop);
        using (var phone = new Phone()) {
            Console.WriteLine("loaded " + phone.LibraryPath);
            phone.Notification += (sender, e) => { OnEvent(); heard.Add(e.ToString()); };
            if (throwing) phone.Notification += (sender, e) => throw new InvalidOperationException("a failing handler");
            phone.StatusChanged += (sender, e) => { OnEvent(); statuses.Add(e.Status); };
            phone.HandlerFailed += (sender, e) => ++handlerFailures;

            Check("subscribed on a cold start", Wait(phone.WhenSubscribed(), 60000));
            Call(phone, "the first call");
            if (throwing) Check("a failing handler was reported, not thrown", handlerFailures == 4);
            HeldCommand(phone);
            Restart(phone, "quit");
            Restart(phone, "crash");
            if (throwing) RejectedNames(phone);
            else Console.WriteLine("skipped the checks that throw (KESTROVA_NO_THROWING is set)");
            Check("subscribed before Dispose", Subscribers().Contains("KestrovaObserver."));
        }
        Check("no subscriber after Dispose", Subscribers().Contains("subscribers: none"));
        Check("every event raised on the creating thread", offThreadEvents == 0);
        Console.WriteLine(ok ? "all checks passed" : "some checks FAILED");
        return ok ? 0 : 1;
    }

    static void OnEvent()
    {
        if (Thread.CurrentThread.ManagedThreadId != mainThread) ++offThreadEvents;
    }

    static void Check(string what, bool held)
    {
        Console.WriteLine((held ? "ok     " : "FAILED ") + what);
        ok &= held;
    }

    // Runs the loop's work until done or timeout; the longest time the
    // loop's work took in one turn, in ms, and how many turns it made. The
    // sleep between turns is not counted: on a loaded machine the system
    // may well not run this thread for a while.
    static int Pump(int timeoutMs, Func<bool> done) => Pump(timeoutMs, done, out _);

    static int Pump(int timeoutMs, Func<bool> done, out int turns)
    {
        var clock = Stopwatch.StartNew();
        long longest = 0;
        turns = 0;
        while (!done() && clock.ElapsedMilliseconds < timeoutMs) {
            long start = clock.ElapsedMilliseconds;
            loop.RunPending();
            longest = Math.Max(longest, clock.ElapsedMilliseconds - start);
            ++turns;
            Thread.Sleep(5);
        }
        loop.RunPending();
        return (int)longest;
    }

    static bool Wait(Task task, int timeoutMs)
    {
        Pump(timeoutMs, () => task.IsCompleted);
        if (task.IsFaulted) Console.WriteLine("       " + task.Exception.InnerException.Message);
        return task.Status == TaskStatus.RanToCompletion;
    }

    static bool Heard(string word) => heard.Any(line => line.StartsWith("call \"" + word + "\""));

    // Dials, takes the line once it rings, hangs up once connected: the
    // call's four notifications, in order.
    static void Call(Phone phone, string what)
    {
        heard.Clear();
        bool done = Wait(phone.DialAsync(Name, Number), 10000);
        Pump(10000, () => Heard("ringing"));
        done &= Wait(phone.HookOffAsync(), 10000);
        Pump(5000, () => Heard("connected"));
        done &= Wait(phone.HangUpAsync(), 10000);
        Pump(5000, () => Heard("ended"));
        Pump(300, () => false);
        string party = "\"" + Name + "\", \"" + Number + "\"";
        var wanted = new[] {
            "call \"dialling\", " + party, "call \"ringing\", " + party,
            "call \"connected\", " + party, "call \"ended\", " + party + ", \"local\"" };
        foreach (string line in heard) Console.WriteLine("       phone says: " + Visible(line));
        Check(what + ": every command done, its four notifications in order", done && heard.SequenceEqual(wanted));
    }

    // The simulator holds its answer 3 s: the creating thread goes on.
    static void HeldCommand(Phone phone)
    {
        Check("the simulator holds its answers", Control("hang " + HoldMs));
        var clock = Stopwatch.StartNew();
        Task hookOff = phone.HookOffAsync();
        long call = clock.ElapsedMilliseconds;
        int longest = Pump(HoldMs + 5000, () => hookOff.IsCompleted, out int turns);
        long took = clock.ElapsedMilliseconds;
        Control("hang 0");
        Wait(phone.HangUpAsync(), 10000);
        Console.WriteLine("       the held command took " + took + " ms; starting it took " + call +
                          " ms; meanwhile the loop turned " + turns + " times, its work taking at most " +
                          longest + " ms a turn");
        Check("a held command blocks nothing (nothing waits more than " + LongestStallMs + " ms)",
              hookOff.Status == TaskStatus.RanToCompletion && took >= HoldMs - 500 && call <= LongestStallMs &&
              longest <= LongestStallMs && turns >= MinimumTurns);
    }

    // The simulator ends (quit or crash) and starts again: the phone says it
    // went, subscribes again, and a call's notifications arrive again.
    static void Restart(Phone phone, string how)
    {
        statuses.Clear();
        Run(how);
        Pump(15000, () => statuses.Contains(PhoneStatus.Gone));
        Check("after " + how + ": told the phone application has gone", statuses.Contains(PhoneStatus.Gone));
        Process.Start(simulator).Dispose();
        Check("after " + how + ": subscribed again", Wait(phone.WhenSubscribed(), 60000));
        Call(phone, "after " + how);
    }

    static void RejectedNames(Phone phone)
    {
        string card = Path.Combine(Path.GetTempPath(), "kestrova.vcf");
        DateTime written = File.GetLastWriteTimeUtc(card);
        heard.Clear();
        foreach (var name in new[] { "\u0410\u043D\u043D\u0430 \u0428\u0435\u0432\u0447\u0443\u043A", "Ann\nExample" }) {
            bool threw = false;
            try {
                phone.DialAsync(name, Number);
            } catch (ArgumentException e) {
                threw = true;
                Console.WriteLine("       " + e.Message.Split('\n')[0]);
            }
            Check("a name such as " + Visible(name) + " throws ArgumentException", threw);
        }
        Pump(1500, () => false);
        Check("and nothing was written or dialled", heard.Count == 0 && File.GetLastWriteTimeUtc(card) == written);
    }

    // ASCII for any console: other characters as \uXXXX.
    static string Visible(string text) =>
        string.Concat(text.Select(c => c >= ' ' && c < 127 ? c.ToString() : "\\u" + ((int)c).ToString("X4")));

    static void Run(string command)
    {
        using (var process = Process.Start(simulator, command)) process.WaitForExit(15000);
    }

    static string Subscribers()
    {
        Pump(300, () => false);
        var start = new ProcessStartInfo(simulator, "status") { UseShellExecute = false, RedirectStandardOutput = true };
        using (var process = Process.Start(start)) {
            string output = process.StandardOutput.ReadToEnd();
            process.WaitForExit(15000);
            Console.WriteLine("       " + output.Trim().Replace("\n", "\n       "));
            return output;
        }
    }

    // A command on the simulator's control channel (WM_COPYDATA to its window).
    static bool Control(string command)
    {
        const uint WM_COPYDATA = 0x004A, SMTO_NORMAL = 0;
        var copyControlCommand = new IntPtr(0x4B430001);
        IntPtr window = FindWindowA("KestrovaStandinPhone", null);
        if (window == IntPtr.Zero) return false;
        byte[] bytes = System.Text.Encoding.ASCII.GetBytes(command);
        GCHandle pinned = GCHandle.Alloc(bytes, GCHandleType.Pinned);
        try {
            var copy = new CopyData { dwData = copyControlCommand, cbData = bytes.Length, lpData = pinned.AddrOfPinnedObject() };
            return SendMessageTimeoutA(window, WM_COPYDATA, IntPtr.Zero, ref copy, SMTO_NORMAL, 5000, out IntPtr result) != IntPtr.Zero &&
                   result != IntPtr.Zero;
        } finally {
            pinned.Free();
        }
    }

    [StructLayout(LayoutKind.Sequential)]
    struct CopyData
    {
        public IntPtr dwData;
        public int cbData;
        public IntPtr lpData;
    }

    [DllImport("user32", CharSet = CharSet.Ansi)]
    static extern IntPtr FindWindowA(string className, string windowName);

    [DllImport("user32")]
    static extern IntPtr SendMessageTimeoutA(IntPtr window, uint message, IntPtr wParam, ref CopyData lParam,
                                             uint flags, uint timeoutMs, out IntPtr result);
}

// What a UI thread's context does, for a console program: work posted to it
// runs on this thread when it calls RunPending.
sealed class LoopContext : SynchronizationContext
{
    readonly ConcurrentQueue<KeyValuePair<SendOrPostCallback, object>> posted =
        new ConcurrentQueue<KeyValuePair<SendOrPostCallback, object>>();

    public override void Post(SendOrPostCallback callback, object state) =>
        posted.Enqueue(new KeyValuePair<SendOrPostCallback, object>(callback, state));

    public void RunPending()
    {
        while (posted.TryDequeue(out var work)) work.Key(work.Value);
    }
}
