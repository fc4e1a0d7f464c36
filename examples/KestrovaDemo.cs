// Places a call through the phone application from C#, with P/Invoke:
// subscribes to the phone's notifications, dials, takes the line off hook,
// hangs up and prints every notification as it arrives.
//
//   KestrovaDemo [name [number]]
//
// Builds as it is with csc, mcs or in any .NET project (.NET Framework 4 or
// .NET 5 and later, on Windows). Built by csc or mcs alone, .NET runs it
// (dotnet KestrovaDemo.exe) with a KestrovaDemo.runtimeconfig.json beside it
// naming the framework Microsoft.NETCore.App; a .NET project writes one.
// A process loads the KestrovaAPI.dll of its own bitness: ship x64\bin's for
// a 64-bit process, x86\bin's for a 32-bit one, beside the program. An
// AnyCPU build runs 64-bit on 64-bit Windows under .NET Framework unless
// Prefer32Bit is set (Visual Studio's .NET Framework application templates
// set it), and under .NET, which ignores Prefer32Bit, with the bitness of
// the dotnet.exe or apphost that starts it. Run from the release
// package's examples folder, this demo loads the matching one from there;
// KESTROVA_DLL names another.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;

static class Kestrova
{
    const string Dll = "KestrovaAPI.dll";

    // The observer is called with the cdecl convention.
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void ObserverCallback(int count, IntPtr tokens);

    // Strings are marshalled in the ANSI code page. A character that it
    // cannot hold throws instead of being replaced by a look-alike.
    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
               BestFitMapping = false, ThrowOnUnmappableChar = true)]
    public static extern int kestrovaDial(string name, string number);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
    public static extern int kestrovaStartup();

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
    public static extern int kestrovaHookOff();

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
    public static extern int kestrovaHangUp();

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
    public static extern int kestrovaAddObserver(ObserverCallback observer);

    [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
    public static extern int kestrovaRemoveObserver(ObserverCallback observer);

    // The token table as strings, read in the ANSI code page. The library's
    // strings live only during the observer call.
    public static string[] Tokens(int count, IntPtr tokens)
    {
        var words = new string[count];
        for (int i = 0; i < count; ++i)
            words[i] = Marshal.PtrToStringAnsi(Marshal.ReadIntPtr(tokens, i * IntPtr.Size));
        return words;
    }
}

static class Windows
{
    [StructLayout(LayoutKind.Sequential)]
    public struct MSG
    {
        public IntPtr hwnd;
        public uint message;
        public UIntPtr wParam;
        public IntPtr lParam;
        public uint time;
        public int x, y;
    }

    public const uint PM_REMOVE = 1;

    [DllImport("user32.dll")]
    public static extern bool PeekMessageA(out MSG msg, IntPtr window, uint first, uint last, uint remove);

    [DllImport("user32.dll")]
    public static extern bool TranslateMessage(ref MSG msg);

    [DllImport("user32.dll")]
    public static extern IntPtr DispatchMessageA(ref MSG msg);

    [DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
    public static extern IntPtr LoadLibraryW(string path);

    // The ANSI code page, in which the library takes and gives text.
    [DllImport("kernel32.dll")]
    public static extern uint GetACP();
}

static class KestrovaDemo
{
    // A delegate handed to native code is collected once nothing in .NET
    // refers to it, and the library would then call freed code: a static
    // field keeps it alive for as long as it is subscribed.
    static readonly Kestrova.ObserverCallback observer = OnNotification;
    static readonly List<string[]> heard = new List<string[]>();

    // Called on this thread while Pump dispatches messages. An exception
    // must not leave it: it would unwind through the library and DDE, which
    // cannot pass it on, and end the process.
    static void OnNotification(int count, IntPtr tokens)
    {
        try {
            string[] words = Kestrova.Tokens(count, tokens);
            heard.Add(words);
            var arguments = new List<string>();
            for (int i = 1; i < words.Length; ++i) arguments.Add("\"" + words[i] + "\"");
            Console.WriteLine("    phone says: " + words[0] +
                              (arguments.Count > 0 ? " " + string.Join(", ", arguments) : ""));
        } catch (Exception e) {
            Console.Error.WriteLine("the observer failed: " + e);
        }
    }

    // Dispatches this thread's window messages for up to ms milliseconds, or
    // until done() holds: notifications arrive only then. A console program
    // has no message loop of its own; WinForms and WPF programs do, and need
    // none of this.
    static void Pump(int ms, Func<bool> done = null)
    {
        DateTime end = DateTime.UtcNow.AddMilliseconds(ms);
        Windows.MSG msg;
        while (DateTime.UtcNow < end && (done == null || !done())) {
            while (Windows.PeekMessageA(out msg, IntPtr.Zero, 0, 0, Windows.PM_REMOVE)) {
                Windows.TranslateMessage(ref msg);
                Windows.DispatchMessageA(ref msg);
            }
            Thread.Sleep(10);
        }
    }

    static Func<bool> Heard(string word)
    {
        return () => heard.Exists(words => Array.IndexOf(words, word) >= 0);
    }

    static int Report(string what, int result)
    {
        Console.WriteLine("{0,-34} -> {1}{2}", what, result, result == 0 ? " (ok)" : "");
        return result;
    }

    // The first request also starts the phone application, which takes a
    // moment to be ready: retry for a while. A -1 may also come from a phone
    // application that was just going away (restarted, say): the link
    // would keep leading to it, so close it before the next try. No observer
    // is registered yet, and then null matches.
    static int Subscribe()
    {
        int result = -1;
        for (int attempt = 0; attempt < 40 && result == -1; ++attempt) {
            result = Kestrova.kestrovaAddObserver(observer);
            if (result == -1) {
                Kestrova.kestrovaRemoveObserver(null);
                Pump(250);
            }
        }
        return result;
    }

    // Dials, if the name and the number can be written in the ANSI code
    // page: a character it cannot hold makes the marshalling throw before
    // the library is called (ArgumentException, or its subclass
    // EncoderFallbackException), and nothing is dialled.
    static bool Dial(string name, string number)
    {
        try {
            return Report("kestrovaDial", Kestrova.kestrovaDial(name, number)) == 0;
        } catch (ArgumentException) {
            Console.WriteLine("{0,-34} -> not called: the name or number holds a character that the " +
                              "ANSI code page ({1}) cannot hold", "kestrovaDial", Windows.GetACP());
            return false;
        }
    }

    // Dials, takes the line once the phone rings and hangs up once the call
    // is connected; true when every step succeeded.
    static bool Call(string name, string number)
    {
        if (!Dial(name, number)) return false;
        Pump(10000, Heard("ringing"));  // the phone has read the card
        bool ok = Report("kestrovaHookOff (take the line)", Kestrova.kestrovaHookOff()) == 0;
        Pump(5000, Heard("connected"));
        ok &= Report("kestrovaHangUp", Kestrova.kestrovaHangUp()) == 0;
        Pump(5000, Heard("ended"));
        return ok;
    }

    // Loads the DLL of this process's bitness from the package, if it is
    // there; the declarations above, by name, then find it loaded.
    static void LoadMatchingDll()
    {
        string path = Environment.GetEnvironmentVariable("KESTROVA_DLL");
        if (string.IsNullOrEmpty(path))
            path = Path.Combine(AppDomain.CurrentDomain.BaseDirectory, "..",
                                Environment.Is64BitProcess ? "x64" : "x86", "bin", "KestrovaAPI.dll");
        if (File.Exists(path)) Windows.LoadLibraryW(Path.GetFullPath(path));
    }

    static int Main(string[] args)
    {
        string name = args.Length > 0 ? args[0] : "Ann Example";
        string number = args.Length > 1 ? args[1] : "+1 555 0100";
        LoadMatchingDll();
        Console.WriteLine("KestrovaAPI demo: calling {0} at {1}\n", name, number);

        int result = Report("kestrovaAddObserver (subscribe)", Subscribe());
        if (result != 0) {
            Console.WriteLine(result > 0 ? "\nNo phone application handles the \"dial\" action on .vcf files."
                                         : "\nThe phone application could not be reached.");
            return 1;
        }
        bool ok = false;
        try {
            ok = Call(name, number);
        } catch (Exception e) {
            // Caught, so that the observer is removed below: an exception
            // that nothing catches may end the process before finally runs.
            Console.WriteLine("\n" + e + "\n");
        } finally {
            ok &= Report("kestrovaRemoveObserver", Kestrova.kestrovaRemoveObserver(observer)) == 0;
        }
        Console.WriteLine(ok ? "\nDone." : "\nFailed.");
        return ok ? 0 : 1;
    }
}
