// SPDX-License-Identifier: MIT
// .NET binding of quenlark-tacetra: add this one file to a project. It needs
// quenlark-tacetra.dll (with its FFmpeg DLLs) beside the program on Windows.
// On .NET elsewhere it resolves libquenlark-tacetra.so.1 itself; on Mono, a
// dllmap does (see mono.config).
//
// Paths go to the library as NUL-terminated UTF-8; the texts it returns are
// its own, and are copied out of its buffers here, never freed. The library
// takes its calls from one thread at a time: every call here, with the
// copying of its text, is made under one process-wide lock, so any thread or
// Task may use the binding.
//
// The public API takes no null: where a .NET project turns nullable
// reference types on, its signatures already say so (Mono's compiler knows no
// nullable directive, so the file carries none).
using System;
using System.Collections.Generic;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Quenlark.Tacetra
{
    /// <summary>The C interface of tacetra.h as it is: paths are NUL-terminated
    /// UTF-8 byte arrays, texts are pointers into the library's own buffers.
    /// Its functions are called only under <see cref="Library"/>'s lock.</summary>
    public static class Native
    {
        public const string DllName = "quenlark-tacetra";

        /// <summary>The name the library is installed under.</summary>
        public const string InstalledName = "libquenlark-tacetra.so.1";

        /// <summary>The DLL's name on Windows.</summary>
        public const string WindowsName = "quenlark-tacetra.dll";

#if NETCOREAPP3_0_OR_GREATER
        // .NET ignores Mono's dllmap: the library is found here, in this order:
        // the path in TACETRA_LIBRARY, the library beside the program, the
        // installed name as the system's loader finds it.
        static Native()
        {
            NativeLibrary.SetDllImportResolver(typeof(Native).Assembly, Resolve);
        }

        private static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath)
        {
            if (name != DllName) return IntPtr.Zero;
            var chosen = Environment.GetEnvironmentVariable("TACETRA_LIBRARY");
            if (!string.IsNullOrEmpty(chosen)) return NativeLibrary.Load(chosen);
            string file = RuntimeInformation.IsOSPlatform(OSPlatform.Windows) ? WindowsName : InstalledName;
            // A single-file program's assembly has no location of its own.
            var dir = string.IsNullOrEmpty(assembly.Location) ? AppContext.BaseDirectory
                                                              : System.IO.Path.GetDirectoryName(assembly.Location);
            string beside = System.IO.Path.Combine(dir ?? AppContext.BaseDirectory, file);
            if (File.Exists(beside)) return NativeLibrary.Load(beside);
            return NativeLibrary.Load(file, assembly, searchPath);
        }
#endif

        /// <summary>TACETRA_MAX_JOBS: the number of job slots.</summary>
        public const int MaxJobs = 4;

        /// <summary>TACETRA_PATH_MAX: the longest path a job accepts, in bytes of UTF-8.</summary>
        public const int PathMax = 1198;

        /// <summary>The TACETRA_VERSION_MAJOR this binding speaks to.</summary>
        public const int VersionMajor = 1;

        [DllImport(DllName, EntryPoint = "tacetra_probe", CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr Probe(byte[] path);

        [DllImport(DllName, EntryPoint = "tacetra_start", CallingConvention = CallingConvention.Cdecl)]
        internal static extern int Start(byte[] inPath, byte[] outPath);

        [DllImport(DllName, EntryPoint = "tacetra_status", CallingConvention = CallingConvention.Cdecl)]
        internal static extern int Status(int id);

        [DllImport(DllName, EntryPoint = "tacetra_progress", CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr Progress(int id);

        [DllImport(DllName, EntryPoint = "tacetra_result", CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr Result(int id);

        [DllImport(DllName, EntryPoint = "tacetra_cancel", CallingConvention = CallingConvention.Cdecl)]
        internal static extern void Cancel(int id);

        [DllImport(DllName, EntryPoint = "tacetra_free", CallingConvention = CallingConvention.Cdecl)]
        internal static extern void Free(int id);

        [DllImport(DllName, EntryPoint = "tacetra_version", CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr Version();
    }

    /// <summary>A job's state (TACETRA_PENDING ... TACETRA_FAILED).</summary>
    public enum JobState
    {
        Pending = 0,
        Running = 2,
        Done = 3,
        Cancelled = 4,
        Failed = 5,
    }

    /// <summary>Why tacetra_start refused a job (TACETRA_ERR_*).</summary>
    public enum StartCode
    {
        Args = -1,
        Busy = -2,
        Open = -3,
        Thread = -4,
        NoVideo = -5,
        NoAudio = -7,
    }

    /// <summary>tacetra_start refused a job.</summary>
    public sealed class StartRefusedException : Exception
    {
        public StartRefusedException(int code)
            : base("tacetra_start refused the job: " + NameOf(code) + " (" + code + ")")
        {
            Code = code;
            Name = NameOf(code);
        }

        /// <summary>The start code, one of <see cref="StartCode"/> when the header knows it.</summary>
        public int Code { get; private set; }

        /// <summary>The code's name in the header, such as "TACETRA_ERR_OPEN".</summary>
        public string Name { get; private set; }

        private static string NameOf(int code)
        {
            if (!Enum.IsDefined(typeof(StartCode), code)) return "unknown";
            string name = ((StartCode)code).ToString();
            var macro = new StringBuilder("TACETRA_ERR");
            foreach (char c in name)
            {
                if (char.IsUpper(c)) macro.Append('_');
                macro.Append(char.ToUpperInvariant(c));
            }
            return macro.ToString();
        }
    }

    /// <summary>The native library's major version is not the binding's.</summary>
    public sealed class LibraryVersionException : Exception
    {
        public LibraryVersionException(string message) : base(message) { }
    }

    /// <summary>Probing, the version, and the crossing of the C boundary.</summary>
    public static class Library
    {
        private static readonly UTF8Encoding Utf8 = new UTF8Encoding(false, true);

        /// <summary>The one lock every call into the library is made under.</summary>
        internal static readonly object Gate = new object();

        private static bool versionChecked;

        /// <summary>The library's one-line JSON report on a media file. Uses no job slot.</summary>
        public static string Probe(string path)
        {
            byte[] bytes = Path(path, "path");
            lock (Gate) return Text(Native.Probe(bytes));
        }

        /// <summary>The native library's version text, "MAJOR.MINOR.PATCH (libavformat X.Y.Z)".</summary>
        public static string Version()
        {
            lock (Gate) return Text(Native.Version());
        }

        /// <summary>Throws unless the major number of <paramref name="versionText"/> is <paramref name="major"/>.</summary>
        public static void CheckVersion(string versionText, int major)
        {
            int dot = versionText.IndexOf('.');
            int found;
            if (dot <= 0 || !int.TryParse(versionText.Substring(0, dot), out found) || found != major)
            {
                throw new LibraryVersionException("the loaded " + Native.DllName + " is version " + versionText +
                                                  ", but this binding needs major version " + major);
            }
        }

        /// <summary>Checks the loaded library's version, the first time only.</summary>
        internal static void EnsureVersion()
        {
            lock (Gate)
            {
                if (versionChecked) return;
                CheckVersion(Version(), Native.VersionMajor);
                versionChecked = true;
            }
        }

        /// <summary>A path as NUL-terminated UTF-8.</summary>
        internal static byte[] Path(string path, string name)
        {
            if (path == null) throw new ArgumentNullException(name);
            if (path.IndexOf('\0') >= 0) throw new ArgumentException("a path cannot hold a NUL character", name);
            EnsureVersion();
            byte[] bytes = new byte[Utf8.GetByteCount(path) + 1];
            Utf8.GetBytes(path, 0, path.Length, bytes, 0);
            return bytes;
        }

        /// <summary>A copy of a text the library returned; the library keeps its buffer.</summary>
        internal static string Text(IntPtr text)
        {
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) length++;
            byte[] bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }
    }

    /// <summary>Copies every stream of a file that is not audio into a new file,
    /// in the background, in a job slot of its own. The slot stays taken, even
    /// once the job has ended, until <see cref="Dispose"/>, which also stops a
    /// job still running and removes its unfinished output. A job collected
    /// undisposed is freed by its finalizer; jobs still held when the process
    /// exits are cancelled and freed then, before the runtime lets go of the
    /// library under their threads.</summary>
    public sealed class Job : IDisposable
#if NETCOREAPP3_0_OR_GREATER
        , IAsyncDisposable
#endif
    {
        // The slots this process's jobs hold, each with the token of the job
        // that holds it, so that no slot is freed twice or after another job
        // took it. Guarded by Library.Gate.
        private static readonly Dictionary<int, object> Held = new Dictionary<int, object>();

        private readonly object token = new object();
        private readonly int id;
        private bool freed;

        static Job()
        {
            AppDomain.CurrentDomain.ProcessExit += (sender, args) => FreeAll();
#if NETCOREAPP3_0_OR_GREATER
            var context = System.Runtime.Loader.AssemblyLoadContext.GetLoadContext(typeof(Job).Assembly);
            if (context != null) context.Unloading += unloading => FreeAll();
#endif
        }

        /// <summary>Starts the job; the output's name picks its container.</summary>
        /// <exception cref="StartRefusedException">The library refused the job.</exception>
        public Job(string inPath, string outPath)
        {
            byte[] input = Library.Path(inPath, "inPath");
            byte[] output = Library.Path(outPath, "outPath");
            int code;
            lock (Library.Gate)
            {
                code = Native.Start(input, output);
                if (code >= 0) Held[code] = token;
            }
            if (code < 0)
            {
                GC.SuppressFinalize(this);
                throw new StartRefusedException(code);
            }
            id = code;
        }

        ~Job()
        {
            Free();
        }

        /// <summary>The slot id, valid until the job is disposed of.</summary>
        public int Id
        {
            get
            {
                if (freed) throw new ObjectDisposedException("Job", "the job's slot has been freed");
                return id;
            }
        }

        public JobState State
        {
            get
            {
                lock (Library.Gate) return (JobState)Native.Status(Id);
            }
        }

        /// <summary>The progress report, one line of JSON; "percent" is exactly 100.0 once done.</summary>
        public string Progress()
        {
            lock (Library.Gate) return Library.Text(Native.Progress(Id));
        }

        /// <summary>The result report, one line of JSON; "ok" is true only once done.</summary>
        public string Result()
        {
            lock (Library.Gate) return Library.Text(Native.Result(Id));
        }

        /// <summary>Asks the job to stop and returns at once: it ends cancelled
        /// after its next packet read, or done if it had read its last one.</summary>
        public void Cancel()
        {
            lock (Library.Gate) Native.Cancel(Id);
        }

        /// <summary>Polls the job every 100 ms until it has ended and returns its final state.</summary>
        public JobState Wait()
        {
            return Wait(100);
        }

        /// <summary>Polls the job until it has ended and returns its final state.</summary>
        public JobState Wait(int pollMilliseconds)
        {
            return Wait(pollMilliseconds, progress => { });
        }

        /// <summary>Polls the job until it has ended and returns its final state;
        /// <paramref name="onProgress"/> sees each progress report, the final one included.</summary>
        public JobState Wait(int pollMilliseconds, Action<string> onProgress)
        {
            for (;;)
            {
                JobState state;
                string progress = Read(out state);
                onProgress(progress);
                if (IsFinal(state)) return state;
                Thread.Sleep(pollMilliseconds);
            }
        }

        /// <summary>Waits, without holding a thread, until the job has ended, and
        /// returns its result report.</summary>
        public Task<string> WaitAsync(CancellationToken token)
        {
            return Poll(progress => { }, token, 100);
        }

        /// <summary>Waits, without holding a thread, until the job has ended, and
        /// returns its result report. <paramref name="progress"/> sees each progress
        /// report, the final one included. Cancelling <paramref name="token"/>
        /// cancels the job and throws <see cref="OperationCanceledException"/>.</summary>
        public Task<string> WaitAsync(IProgress<string> progress, CancellationToken token, int pollMilliseconds = 100)
        {
            if (progress == null) throw new ArgumentNullException("progress");
            return Poll(progress.Report, token, pollMilliseconds);
        }

        private async Task<string> Poll(Action<string> report, CancellationToken cancel, int pollMilliseconds)
        {
            try
            {
                for (;;)
                {
                    cancel.ThrowIfCancellationRequested();
                    JobState state;
                    report(Read(out state));
                    if (IsFinal(state)) return Result();
                    await Task.Delay(pollMilliseconds, cancel).ConfigureAwait(false);
                }
            }
            catch (OperationCanceledException) when (cancel.IsCancellationRequested)
            {
                lock (Library.Gate)
                {
                    if (!freed) Native.Cancel(id);
                }
                throw;
            }
        }

        // The state first: once it is final, so is the report read after it.
        private string Read(out JobState state)
        {
            lock (Library.Gate)
            {
                state = State;
                return Progress();
            }
        }

        public static bool IsFinal(JobState state)
        {
            return state == JobState.Done || state == JobState.Cancelled || state == JobState.Failed;
        }

        /// <summary>Frees the slot (see the class); does nothing the second time.</summary>
        public void Dispose()
        {
            Free();
            GC.SuppressFinalize(this);
        }

#if NETCOREAPP3_0_OR_GREATER
        /// <summary>Frees the slot on a pool thread: freeing waits for the job's thread.</summary>
        public ValueTask DisposeAsync()
        {
            return new ValueTask(Task.Run(Dispose));
        }
#else
        /// <summary>Frees the slot on a pool thread: freeing waits for the job's thread.</summary>
        public Task DisposeAsync()
        {
            return Task.Run(new Action(Dispose));
        }
#endif

        private void Free()
        {
            lock (Library.Gate)
            {
                if (freed) return;
                freed = true;
                object holder;
                if (!Held.TryGetValue(id, out holder) || holder != token) return;
                Held.Remove(id);
                Native.Free(id);
            }
        }

        /// <summary>Cancels every held job, then frees each.</summary>
        internal static void FreeAll()
        {
            lock (Library.Gate)
            {
                foreach (int slot in Held.Keys) Native.Cancel(slot);
                foreach (int slot in Held.Keys) Native.Free(slot);
                Held.Clear();
            }
        }
    }
}
