using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.IO;
using System.Runtime.InteropServices;

namespace Kestrova
{
    /// <summary>
    /// KestrovaAPI.dll of the process's architecture, loaded by full path,
    /// and its six functions. The functions are called through pointers
    /// taken from that very module, so no DLL search by name can pick
    /// another copy or one of the wrong bitness.
    /// </summary>
    internal sealed class KestrovaLibrary
    {
        internal const string FileName = "KestrovaAPI.dll";

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void ObserverCallback(int count, IntPtr tokens);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate int DialFunction(byte[] name, byte[] number);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate int CommandFunction();

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate int ObserverFunction(ObserverCallback observer);

        internal readonly string Path;
        internal readonly DialFunction Dial;
        internal readonly CommandFunction Startup;
        internal readonly CommandFunction HookOff;
        internal readonly CommandFunction HangUp;
        internal readonly ObserverFunction AddObserver;
        internal readonly ObserverFunction RemoveObserver;

        static readonly object loadLock = new object();
        static KestrovaLibrary loaded;

        KestrovaLibrary(string path, IntPtr module)
        {
            Path = path;
            Dial = Function<DialFunction>(module, "kestrovaDial");
            Startup = Function<CommandFunction>(module, "kestrovaStartup");
            HookOff = Function<CommandFunction>(module, "kestrovaHookOff");
            HangUp = Function<CommandFunction>(module, "kestrovaHangUp");
            AddObserver = Function<ObserverFunction>(module, "kestrovaAddObserver");
            RemoveObserver = Function<ObserverFunction>(module, "kestrovaRemoveObserver");
        }

        /// <summary>Loads the DLL once per process; later calls return the same.</summary>
        internal static KestrovaLibrary Load()
        {
            lock (loadLock) {
                if (loaded != null) return loaded;
                string path = FindDll(out string architecture);
                IntPtr module = NativeMethods.LoadLibraryW(path);
                if (module == IntPtr.Zero)
                    throw new DllNotFoundException("Cannot load " + path + ": " +
                                                   new Win32Exception(Marshal.GetLastWin32Error()).Message);
                loaded = new KestrovaLibrary(path, module);
                return loaded;
            }
        }

        static T Function<T>(IntPtr module, string name) where T : class
        {
            IntPtr address = NativeMethods.GetProcAddress(module, name);
            if (address == IntPtr.Zero)
                throw new EntryPointNotFoundException("The KestrovaAPI.dll loaded has no function " + name + ".");
            return Marshal.GetDelegateForFunctionPointer<T>(address);
        }

        // The first DLL of this process's architecture in the layouts a
        // build produces: beside the program (a build for one RID), under
        // runtimes/win-<arch>/native/ (a portable .NET build), in <arch>\
        // (the package's .NET Framework targets). A copy of another
        // architecture is passed over, never loaded.
        static string FindDll(out string architecture)
        {
            if (Environment.OSVersion.Platform != PlatformID.Win32NT)
                throw new PlatformNotSupportedException("KestrovaAPI runs on Windows only.");
            ushort machine = MachineOf(RuntimeInformation.ProcessArchitecture, out architecture);
            var tried = new List<string>();
            foreach (string folder in Folders()) {
                foreach (string candidate in new[] {
                             System.IO.Path.Combine(folder, FileName),
                             System.IO.Path.Combine(folder, "runtimes", "win-" + architecture, "native", FileName),
                             System.IO.Path.Combine(folder, architecture, FileName) }) {
                    string full = System.IO.Path.GetFullPath(candidate);
                    if (tried.Contains(full)) continue;
                    tried.Add(full);
                    if (PortableExecutable.MachineOf(full) == machine) return full;
                }
            }
            throw new DllNotFoundException("No " + FileName + " for " + architecture + " processes in " +
                                           string.Join(", ", tried) + ". Reference the Kestrova package, " +
                                           "or ship the " + architecture + " edition's DLL beside the program.");
        }

        // The program's folder first, then this assembly's (a plug-in's).
        static IEnumerable<string> Folders()
        {
            yield return AppDomain.CurrentDomain.BaseDirectory;
            string location = typeof(KestrovaLibrary).Assembly.Location;
            if (!string.IsNullOrEmpty(location)) yield return System.IO.Path.GetDirectoryName(location);
        }

        static ushort MachineOf(Architecture architecture, out string name)
        {
            switch (architecture) {
                case Architecture.X86: name = "x86"; return PortableExecutable.MachineI386;
                case Architecture.X64: name = "x64"; return PortableExecutable.MachineAmd64;
                case Architecture.Arm64: name = "arm64"; return PortableExecutable.MachineArm64;
                default:
                    throw new PlatformNotSupportedException("KestrovaAPI has no edition for " + architecture +
                                                            " processes.");
            }
        }
    }

    /// <summary>The machine field of a PE file's header.</summary>
    internal static class PortableExecutable
    {
        internal const ushort MachineI386 = 0x014C;
        internal const ushort MachineAmd64 = 0x8664;
        internal const ushort MachineArm64 = 0xAA64;
        const int HeaderOffsetAt = 0x3C;
        const uint Signature = 0x00004550;  // "PE\0\0"

        /// <summary>The machine, or 0 for a missing or unreadable file.</summary>
        internal static ushort MachineOf(string path)
        {
            if (!File.Exists(path)) return 0;
            try {
                using (var reader = new BinaryReader(File.OpenRead(path))) {
                    reader.BaseStream.Seek(HeaderOffsetAt, SeekOrigin.Begin);
                    reader.BaseStream.Seek(reader.ReadInt32(), SeekOrigin.Begin);
                    return reader.ReadUInt32() == Signature ? reader.ReadUInt16() : (ushort)0;
                }
            } catch (Exception e) when (e is IOException || e is UnauthorizedAccessException ||
                                        e is ArgumentException || e is NotSupportedException) {
                return 0;
            }
        }
    }
}
