// Paired blocks, alternating: the same work through Kestrova.Phone and
// through bare P/Invoke on a thread that dispatches messages itself. Each
// pair gives the ratio of the two blocks' medians; printed is the median
// ratio with a 95% bootstrap interval.
//   Bench SIMULATOR.EXE
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Runtime.InteropServices;
using System.Threading;
using Kestrova;

static class Program
{
    const int Pairs = 12;
    const int CallsPerBlock = 15;
    const int BootstrapRounds = 2000;

    static int Main(string[] args)
    {
        var commands = new List<double>();
        var notifications = new List<double>();
        using (new Phone()) { }  // loads the DLL by full path for the bare calls as well
        Console.WriteLine("wrapper / bare, median ms of " + CallsPerBlock + " in each block:");
        for (int pair = 0; pair < Pairs; ++pair) {
            double[] wrapped = WrapperBlock(), bare = BareBlock();
            commands.Add(wrapped[0] / bare[0]);
            notifications.Add(wrapped[1] / bare[1]);
            Console.WriteLine("pair {0,2}: command {1:F3} / {2:F3} ms, notification {3:F3} / {4:F3} ms",
                              pair + 1, wrapped[0], bare[0], wrapped[1], bare[1]);
        }
        Report("a command's round trip (kestrovaHangUp in the dial window)", commands);
        Report("a notification, from the simulator's send to the handler", notifications);
        return 0;
    }

    // Median ms of a command, then of a notification, through the wrapper.
    static double[] WrapperBlock()
    {
        using (var phone = new Phone()) {
            var heard = new ManualResetEventSlim();
            long heardAt = 0;
            phone.Notification += (sender, e) => { heardAt = Stopwatch.GetTimestamp(); heard.Set(); };
            if (!phone.WhenSubscribed().Wait(60000)) throw new TimeoutException("not subscribed within a minute");
            // A dial opens the library's dial window, in which a command hands
            // no card over: what is timed is the DDE round trip alone.
            phone.DialAsync("Bench", "0100").Wait();
            phone.HangUpAsync().Wait();
            var commandTimes = Times(() => phone.HangUpAsync().Wait());
            var notificationTimes = Times(() => {
                heard.Reset();
                long sent = Stopwatch.GetTimestamp();
                Notify();
                if (!heard.Wait(5000)) throw new TimeoutException("no notification within 5 s");
                return Ms(heardAt - sent);
            });
            return new[] { Median(commandTimes), Median(notificationTimes) };
        }
    }

    // The same on this thread, which owns the link and dispatches messages.
    static double[] BareBlock()
    {
        long heardAt = 0;
        Bare.ObserverCallback observer = (count, tokens) => heardAt = Stopwatch.GetTimestamp();
        for (int attempt = 0; Bare.kestrovaAddObserver(observer) != 0; ++attempt) {
            if (attempt == 100) throw new TimeoutException("bare P/Invoke: not subscribed");
            Bare.kestrovaRemoveObserver(null);
            Bare.WaitAndDispatch();
        }
        Check(Bare.kestrovaDial("Bench", "0100"));
        Check(Bare.kestrovaHangUp());
        var commandTimes = Times(() => Check(Bare.kestrovaHangUp()));
        var notificationTimes = Times(() => {
            heardAt = 0;
            long sent = Stopwatch.GetTimestamp();
            Notify();
            var waited = Stopwatch.StartNew();
            while (heardAt == 0) {
                if (waited.ElapsedMilliseconds > 5000) throw new TimeoutException("no notification within 5 s");
                Bare.WaitAndDispatch();
            }
            return Ms(heardAt - sent);
        });
        Bare.kestrovaRemoveObserver(observer);
        GC.KeepAlive(observer);
        return new[] { Median(commandTimes), Median(notificationTimes) };
    }

    static void Check(int result)
    {
        if (result != 0) throw new InvalidOperationException("bare P/Invoke: result " + result);
    }

    static List<double> Times(Action work) => Times(() => {
        long start = Stopwatch.GetTimestamp();
        work();
        return Ms(Stopwatch.GetTimestamp() - start);
    });

    static List<double> Times(Func<double> measure)
    {
        var times = new List<double>();
        for (int i = 0; i < CallsPerBlock; ++i) times.Add(measure());
        return times;
    }

    static double Ms(long ticks) => ticks * 1000.0 / Stopwatch.Frequency;

    static double Median(IEnumerable<double> values)
    {
        var sorted = values.OrderBy(v => v).ToArray();
        int middle = sorted.Length / 2;
        return sorted.Length % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }

    static void Report(string what, List<double> ratios)
    {
        var random = new Random(1);
        var medians = new List<double>();
        for (int round = 0; round < BootstrapRounds; ++round)
            medians.Add(Median(Enumerable.Range(0, ratios.Count).Select(_ => ratios[random.Next(ratios.Count)])));
        medians.Sort();
        Console.WriteLine("{0}: wrapper / bare P/Invoke = {1:F3}x (95% interval {2:F3}x .. {3:F3}x, {4} pairs)",
                          what, Median(ratios), medians[(int)(BootstrapRounds * 0.025)],
                          medians[(int)(BootstrapRounds * 0.975) - 1], ratios.Count);
    }

    // One notification to every subscriber, through the simulator's control channel.
    static void Notify()
    {
        byte[] command = System.Text.Encoding.ASCII.GetBytes("notify execute 1 [call(\"bench\")]");
        GCHandle pinned = GCHandle.Alloc(command, GCHandleType.Pinned);
        try {
            var copy = new Bare.CopyData { dwData = new IntPtr(0x4B430001), cbData = command.Length,
                                           lpData = pinned.AddrOfPinnedObject() };
            Bare.SendMessageTimeoutA(Bare.FindWindowA("KestrovaStandinPhone", null), 0x004A, IntPtr.Zero, ref copy,
                                     0, 5000, out _);
        } finally {
            pinned.Free();
        }
    }
}

static class Bare
{
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void ObserverCallback(int count, IntPtr tokens);

    [DllImport("KestrovaAPI.dll", CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
    public static extern int kestrovaDial(string name, string number);
    [DllImport("KestrovaAPI.dll", CallingConvention = CallingConvention.Cdecl)]
    public static extern int kestrovaHangUp();
    [DllImport("KestrovaAPI.dll", CallingConvention = CallingConvention.Cdecl)]
    public static extern int kestrovaAddObserver(ObserverCallback observer);
    [DllImport("KestrovaAPI.dll", CallingConvention = CallingConvention.Cdecl)]
    public static extern int kestrovaRemoveObserver(ObserverCallback observer);

    [StructLayout(LayoutKind.Sequential)]
    public struct CopyData
    {
        public IntPtr dwData;
        public int cbData;
        public IntPtr lpData;
    }

    [StructLayout(LayoutKind.Sequential)]
    struct Msg
    {
        public IntPtr hwnd;
        public uint message;
        public IntPtr wParam, lParam;
        public uint time;
        public int x, y;
    }

    [DllImport("user32", CharSet = CharSet.Ansi)]
    public static extern IntPtr FindWindowA(string className, string windowName);
    [DllImport("user32")]
    public static extern IntPtr SendMessageTimeoutA(IntPtr window, uint message, IntPtr wParam, ref CopyData lParam,
                                                    uint flags, uint timeoutMs, out IntPtr result);
    [DllImport("user32")]
    static extern uint MsgWaitForMultipleObjectsEx(uint count, IntPtr[] handles, uint ms, uint mask, uint flags);
    [DllImport("user32")]
    static extern bool PeekMessageW(out Msg msg, IntPtr hwnd, uint min, uint max, uint remove);
    [DllImport("user32")]
    static extern bool TranslateMessage(ref Msg msg);
    [DllImport("user32")]
    static extern IntPtr DispatchMessageW(ref Msg msg);

    // What the wrapper's thread does: wait for input, then dispatch it.
    public static void WaitAndDispatch()
    {
        MsgWaitForMultipleObjectsEx(0, null, 1000, 0x04FF, 0x0004);
        while (PeekMessageW(out Msg msg, IntPtr.Zero, 0, 0, 1)) {
            TranslateMessage(ref msg);
            DispatchMessageW(ref msg);
        }
    }
}
