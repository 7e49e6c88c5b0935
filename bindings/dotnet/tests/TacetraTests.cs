// The .NET binding against the real native library, on files written by the
// suite's fixture program. Compiled together with Tacetra.cs; prints one line
// per test and "N passed, N failed", and exits 1 when any failed.
//
// Environment: TACETRA_FIXTURE_WRITER (the tacetra_write_fixture program),
// TACETRA_HEADERS (tacetra.h and tacetra_version.h, separated by ':').
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.CompilerServices;
using System.Text.RegularExpressions;
using System.Threading;
using System.Threading.Tasks;
using Quenlark.Tacetra;

internal static class TacetraTests
{
    // Long enough that a job started on it is still running when a test cancels it, even under load.
    private const int LongSeconds = 60;
    private static string inputs;
    private static string longInput;
    private static string shortInput;

    private static int Main(string[] args)
    {
        if (args.Length == 3) return ExitWithRunningJobs(args[0], args[1], args[2]);
        inputs = NewDirectory();
        longInput = WriteFixture(Path.Combine(inputs, "long.mkv"), LongSeconds);
        shortInput = WriteFixture(Path.Combine(inputs, "short.mkv"), 0);
        var tests = new List<KeyValuePair<string, Action<string>>>
        {
            Test("ProgressIsBelow100ThenExactly100", ProgressIsBelow100ThenExactly100),
            Test("ACancelledJobEndsCancelledWithNoOutput", ACancelledJobEndsCancelledWithNoOutput),
            Test("AFailedJobIsToldApartFromACancelledOne", AFailedJobIsToldApartFromACancelledOne),
            Test("RefusalsCarryTheCodeAndItsName", RefusalsCarryTheCodeAndItsName),
            Test("AFileWhoseNameIsNotAsciiIsProbedAndMuted", AFileWhoseNameIsNotAsciiIsProbedAndMuted),
            Test("AReturnedTextReadsTheSameTwice", AReturnedTextReadsTheSameTwice),
            Test("DisposeFreesTheSlotAndTheUnfinishedOutput", DisposeFreesTheSlotAndTheUnfinishedOutput),
            Test("APathHoldingANulIsRefusedBeforeTheLibrary", APathHoldingANulIsRefusedBeforeTheLibrary),
            Test("TheConstantsAreTheHeaders", TheConstantsAreTheHeaders),
            Test("AnotherMajorVersionIsRefused", AnotherMajorVersionIsRefused),
            Test("WaitAsyncReportsProgressAndGivesTheResult", WaitAsyncReportsProgressAndGivesTheResult),
            Test("CancellingWaitAsyncCancelsTheJob", CancellingWaitAsyncCancelsTheJob),
            Test("ACollectedJobFreesItsSlot", ACollectedJobFreesItsSlot),
            Test("ExitWithRunningJobsLeavesNoPartialFile", ExitWithRunningJobsLeavesNoPartialFile),
            Test("TasksProbingAndRunningJobsGetTheirOwnAnswers", TasksProbingAndRunningJobsGetTheirOwnAnswers),
        };
        int passed = 0;
        int failed = 0;
        foreach (var test in tests)
        {
            string dir = NewDirectory();
            try
            {
                test.Value(dir);
                Console.WriteLine("ok      " + test.Key);
                passed++;
            }
            catch (Exception e)
            {
                Console.WriteLine("FAILED  " + test.Key + ": " + e);
                failed++;
            }
            finally
            {
                // A failed test must not leave a job running into the next.
                Job.FreeAll();
                Directory.Delete(dir, true);
            }
        }
        Directory.Delete(inputs, true);
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }

    private static void ProgressIsBelow100ThenExactly100(string dir)
    {
        string output = Path.Combine(dir, "muted.mkv");
        var percents = new List<double>();
        using (var job = new Job(longInput, output))
        {
            JobState final = job.Wait(1, progress => percents.Add(Number(progress, "percent")));
            Expect(final == JobState.Done, "done: " + job.Result());
            Expect(percents[0] < 100.0, "first progress below 100: " + percents[0]);
            Expect(percents.SequenceEqual(percents.OrderBy(p => p)), "progress never goes back");
            Expect(percents[percents.Count - 1] == 100.0, "last progress exactly 100");
            string result = job.Result();
            Expect(result.StartsWith("{\"state\":3,\"ok\":true,\"out_path\":\"" + output + "\","), result);
        }
        Expect(Library.Probe(output).Contains("\"audio_tracks\":0,"), "no audio left");
    }

    private static void ACancelledJobEndsCancelledWithNoOutput(string dir)
    {
        using (var job = new Job(longInput, Path.Combine(dir, "cancelled.mkv")))
        {
            job.Cancel();
            Expect(job.Wait(1) == JobState.Cancelled, "cancelled: " + job.Result());
            Expect(job.Result().StartsWith("{\"state\":4,\"ok\":false,"), job.Result());
            Expect(Directory.GetFileSystemEntries(dir).Length == 0, "no output left");
        }
    }

    private static void AFailedJobIsToldApartFromACancelledOne(string dir)
    {
        using (var job = new Job(shortInput, Path.Combine(dir, "out.no-such-container")))
        {
            Expect(job.Wait(1) == JobState.Failed, "failed");
            Equal("{\"state\":5,\"ok\":false,\"error\":\"cannot create output\"}", job.Result());
        }
    }

    private static void RefusalsCarryTheCodeAndItsName(string dir)
    {
        string output = Path.Combine(dir, "out.mkv");
        var cases = new[]
        {
            new { In = "", Out = output, Code = StartCode.Args, Name = "TACETRA_ERR_ARGS" },
            new { In = Path.Combine(dir, new string('x', Native.PathMax)), Out = output, Code = StartCode.Args,
                  Name = "TACETRA_ERR_ARGS" },
            new { In = Path.Combine(dir, "missing.mkv"), Out = output, Code = StartCode.Open,
                  Name = "TACETRA_ERR_OPEN" },
        };
        foreach (var c in cases)
        {
            try
            {
                new Job(c.In, c.Out).Dispose();
                throw new Exception("not refused: " + c.Name);
            }
            catch (StartRefusedException e)
            {
                Equal((int)c.Code, e.Code);
                Equal(c.Name, e.Name);
                Expect(e.Message.Contains(c.Name + " (" + (int)c.Code + ")"), e.Message);
            }
        }

        var jobs = new List<Job>();
        for (int i = 0; i < Native.MaxJobs; i++) jobs.Add(new Job(longInput, Path.Combine(dir, "out" + i + ".mkv")));
        Equal(string.Join(",", Enumerable.Range(0, Native.MaxJobs)), string.Join(",", jobs.Select(j => j.Id)));
        try
        {
            new Job(longInput, Path.Combine(dir, "one-too-many.mkv")).Dispose();
            throw new Exception("a job beyond the last slot was not refused");
        }
        catch (StartRefusedException e)
        {
            Equal((int)StartCode.Busy, e.Code);
            Equal("TACETRA_ERR_BUSY", e.Name);
        }
        foreach (var job in jobs) job.Dispose();
    }

    private static void AFileWhoseNameIsNotAsciiIsProbedAndMuted(string dir)
    {
        string name = Path.Combine(dir, "Übung – 視頻 🎬.mkv");
        File.Copy(shortInput, name);
        string report = Library.Probe(name);
        Equal(Library.Probe(shortInput), report);
        Expect(report.StartsWith("{\"ok\":true,"), report);

        string output = Path.Combine(dir, "stumm – 無音.mkv");
        using (var job = new Job(name, output))
        {
            Expect(job.Wait(1) == JobState.Done, job.Result());
            Expect(job.Result().Contains("\"out_path\":\"" + output + "\","), job.Result());
        }
        Expect(File.Exists(output), "output under its own name");
    }

    private static void AReturnedTextReadsTheSameTwice(string dir)
    {
        using (var job = new Job(shortInput, Path.Combine(dir, "out.mkv")))
        {
            job.Wait(1);
            Equal(job.Result(), job.Result());
            Equal(job.Progress(), job.Progress());
        }
        Equal(Library.Probe(shortInput), Library.Probe(shortInput));
        Equal(Library.Version(), Library.Version());
    }

    private static void DisposeFreesTheSlotAndTheUnfinishedOutput(string dir)
    {
        var job = new Job(longInput, Path.Combine(dir, "unfinished.mkv"));
        using (job) Equal(0, job.Id);
        try
        {
            job.Progress();
            throw new Exception("a disposed job answered");
        }
        catch (ObjectDisposedException)
        {
        }
        job.Dispose();
        Expect(Directory.GetFileSystemEntries(dir).Length == 0, "no output left");
        using (var next = new Job(shortInput, Path.Combine(dir, "next.mkv"))) Equal(0, next.Id);
    }

    private static void APathHoldingANulIsRefusedBeforeTheLibrary(string dir)
    {
        try
        {
            new Job(shortInput, Path.Combine(dir, "out.mkv") + "\0.txt").Dispose();
            throw new Exception("a path with a NUL was taken");
        }
        catch (ArgumentException e)
        {
            Equal("outPath", e.ParamName);
        }
        Expect(Directory.GetFileSystemEntries(dir).Length == 0, "nothing written");
    }

    private static void TheConstantsAreTheHeaders(string dir)
    {
        var macros = new Dictionary<string, int>();
        foreach (string header in Environment.GetEnvironmentVariable("TACETRA_HEADERS").Split(':'))
        {
            foreach (Match m in Regex.Matches(File.ReadAllText(header), @"^#define (TACETRA_\w+) \(?(-?\d+)\)?",
                                              RegexOptions.Multiline))
            {
                macros[m.Groups[1].Value] = int.Parse(m.Groups[2].Value, CultureInfo.InvariantCulture);
            }
        }
        Equal(macros["TACETRA_MAX_JOBS"], Native.MaxJobs);
        Equal(macros["TACETRA_PATH_MAX"], Native.PathMax);
        Equal(macros["TACETRA_VERSION_MAJOR"], Native.VersionMajor);
        foreach (JobState state in Enum.GetValues(typeof(JobState)))
        {
            Equal(macros["TACETRA_" + state.ToString().ToUpperInvariant()], (int)state);
        }
        var codes = macros.Where(m => m.Key.StartsWith("TACETRA_ERR_")).OrderBy(m => m.Value).ToList();
        Equal(string.Join(",", codes.Select(m => m.Key + "=" + m.Value)),
              string.Join(",", Enum.GetValues(typeof(StartCode)).Cast<int>().OrderBy(c => c)
                                   .Select(c => new StartRefusedException(c).Name + "=" + c)));
    }

    private static void AnotherMajorVersionIsRefused(string dir)
    {
        string version = Library.Version();
        Library.CheckVersion(version, Native.VersionMajor);
        try
        {
            Library.CheckVersion(version, Native.VersionMajor + 1);
            throw new Exception("another major version was taken");
        }
        catch (LibraryVersionException e)
        {
            Expect(e.Message.Contains(version) && e.Message.Contains("major version " + (Native.VersionMajor + 1)),
                   e.Message);
        }
    }

    private static void WaitAsyncReportsProgressAndGivesTheResult(string dir)
    {
        string output = Path.Combine(dir, "muted.mkv");
        var seen = new List<string>();
        using (var job = new Job(shortInput, output))
        {
            var progress = new Reports(seen);
            string result = job.WaitAsync(progress, CancellationToken.None, 1).Result;
            Expect(result.StartsWith("{\"state\":3,\"ok\":true,\"out_path\":\"" + output + "\","), result);
            Expect(Number(seen[seen.Count - 1], "percent") == 100.0, "last progress exactly 100");
            job.DisposeAsync().Wait();
        }
        using (var next = new Job(shortInput, Path.Combine(dir, "next.mkv"))) Equal(0, next.Id);
    }

    private static void CancellingWaitAsyncCancelsTheJob(string dir)
    {
        using (var job = new Job(longInput, Path.Combine(dir, "cancelled.mkv")))
        using (var cancel = new CancellationTokenSource())
        {
            // Cancelled at its first report, while the job still runs.
            Task<string> waiting = job.WaitAsync(new Reports(progress => cancel.Cancel()), cancel.Token, 1);
            try
            {
                waiting.Wait();
                throw new Exception("the wait was not cancelled: " + waiting.Result);
            }
            catch (AggregateException e)
            {
                Expect(e.InnerException is OperationCanceledException, e.ToString());
            }
            Expect(waiting.IsCanceled, "the task ends cancelled");
            Expect(job.Wait(1) == JobState.Cancelled, "cancelled: " + job.Result());
        }
        Expect(Directory.GetFileSystemEntries(dir).Length == 0, "no output left");
    }

    private static void ACollectedJobFreesItsSlot(string dir)
    {
        StartAndDrop(Path.Combine(dir, "dropped.mkv"));
        GC.Collect();
        GC.WaitForPendingFinalizers();
        // Its output only if it ended done first; never a partial file.
        Expect(Directory.GetFileSystemEntries(dir).All(left => Path.GetFileName(left) == "dropped.mkv"),
               "no partial file left");
        using (var next = new Job(shortInput, Path.Combine(dir, "next.mkv"))) Equal(0, next.Id);
    }

    // Started on a thread of its own, so that no stack the collector scans
    // still points at the job.
    private static void StartAndDrop(string output)
    {
        var thread = new Thread(() => new Job(longInput, output));
        thread.Start();
        thread.Join();
    }

    private static void ExitWithRunningJobsLeavesNoPartialFile(string dir)
    {
        var cases = new[]
        {
            new { How = "return", Code = 0 },
            new { How = "exit", Code = 3 },
            new { How = "drop", Code = 0 },
        };
        foreach (var c in cases)
        {
            string self = Assembly.GetEntryAssembly().Location;
            var start = new ProcessStartInfo(Process.GetCurrentProcess().MainModule.FileName,
                                             "\"" + self + "\" " + c.How + " \"" + dir + "\" \"" + longInput + "\"");
            start.UseShellExecute = false;
            start.RedirectStandardError = true;
            using (Process child = Process.Start(start))
            {
                string errors = child.StandardError.ReadToEnd();
                child.WaitForExit();
                Expect(child.ExitCode == c.Code, c.How + ": exit code " + child.ExitCode + " " + errors);
            }
            // A job that ended done before the exit has its output; nothing else is left.
            foreach (string left in Directory.GetFileSystemEntries(dir))
            {
                Expect(Regex.IsMatch(Path.GetFileName(left), "^out[0-9]+\\.mkv$"), c.How + ": left " + left);
                File.Delete(left);
            }
        }
    }

    // The child of ExitWithRunningJobsLeavesNoPartialFile: starts a job in
    // every slot and ends while they run.
    private static int ExitWithRunningJobs(string how, string dir, string input)
    {
        var jobs = new List<Job>();
        for (int i = 0; i < Native.MaxJobs; i++) jobs.Add(new Job(input, Path.Combine(dir, "out" + i + ".mkv")));
        if (how == "exit") Environment.Exit(3);
        if (how == "drop") jobs.Clear();
        return 0;
    }

    private static void TasksProbingAndRunningJobsGetTheirOwnAnswers(string dir)
    {
        const int Probers = 3, ProbesEach = 1000, Starters = 3, JobsEach = 60;
        var files = new List<string> { shortInput, longInput };
        foreach (string name in new[] { "short.mp4", "short.ts", "short.mov" })
        {
            files.Add(WriteFixture(Path.Combine(dir, name), 0));
        }
        var alone = files.ToDictionary(f => f, f => Library.Probe(f));
        Equal(files.Count, alone.Values.Distinct().Count());
        string outputs = Path.Combine(dir, "outputs");
        Directory.CreateDirectory(outputs);
        int reports = 0, jobsRun = 0;
        var wrong = new List<string>();
        var tasks = new List<Task>();
        for (int t = 0; t < Probers; t++)
        {
            int prober = t;
            tasks.Add(Task.Run(() =>
            {
                for (int i = 0; i < ProbesEach; i++)
                {
                    string file = files[(prober + i) % files.Count];
                    string report = Library.Probe(file);
                    Interlocked.Increment(ref reports);
                    if (report != alone[file]) lock (wrong) wrong.Add(file + ": " + report);
                }
            }));
        }
        for (int t = 0; t < Starters; t++)
        {
            int starter = t;
            tasks.Add(Task.Run(() =>
            {
                for (int i = 0; i < JobsEach; i++)
                {
                    string output = Path.Combine(outputs, "t" + starter + "-" + i + ".mkv");
                    JobState state;
                    string result;
                    using (var job = new Job(shortInput, output))
                    {
                        state = job.Wait(1);
                        result = job.Result();
                    }
                    Interlocked.Increment(ref jobsRun);
                    bool ok = state == JobState.Done &&
                              result.Contains("\"out_path\":\"" + output + "\",") &&
                              result.Contains("\"out_size_bytes\":" + new FileInfo(output).Length + ",");
                    if (!ok) lock (wrong) wrong.Add(output + ": " + state + " " + result);
                }
            }));
        }
        Task.WaitAll(tasks.ToArray());
        var expected = Enumerable.Range(0, Starters)
                           .SelectMany(t => Enumerable.Range(0, JobsEach).Select(i => "t" + t + "-" + i + ".mkv"));
        Equal(string.Join(",", expected.OrderBy(n => n, StringComparer.Ordinal)),
              string.Join(",", Directory.GetFiles(outputs).Select(Path.GetFileName).OrderBy(n => n, StringComparer.Ordinal)));
        Console.WriteLine("        threads: " + reports + " reports checked, " + jobsRun + " jobs run, " + wrong.Count +
                          " wrong");
        Equal(Probers * ProbesEach, reports);
        Equal(Starters * JobsEach, jobsRun);
        Expect(wrong.Count == 0, string.Join("\n", wrong.Take(5)));
    }

    // Reports progress on the thread that makes it, unlike Progress<T>,
    // which posts to the thread pool.
    private sealed class Reports : IProgress<string>
    {
        private readonly Action<string> report;

        public Reports(List<string> seen)
        {
            report = seen.Add;
        }

        public Reports(Action<string> report)
        {
            this.report = report;
        }

        public void Report(string value)
        {
            report(value);
        }
    }

    private static KeyValuePair<string, Action<string>> Test(string name, Action<string> test)
    {
        return new KeyValuePair<string, Action<string>>(name, test);
    }

    private static string NewDirectory()
    {
        string dir = Path.Combine(Path.GetTempPath(), "tacetra-dotnet-" + Guid.NewGuid().ToString("N"));
        Directory.CreateDirectory(dir);
        return dir;
    }

    private static string WriteFixture(string path, int seconds)
    {
        var start = new ProcessStartInfo(Environment.GetEnvironmentVariable("TACETRA_FIXTURE_WRITER"),
                                         "\"" + path + "\"" + (seconds > 0 ? " " + seconds : ""));
        start.UseShellExecute = false;
        using (Process writer = Process.Start(start))
        {
            writer.WaitForExit();
            if (writer.ExitCode != 0) throw new Exception("the fixture writer failed on " + path);
        }
        return path;
    }

    private static double Number(string json, string key)
    {
        Match m = Regex.Match(json, "\"" + key + "\":(-?[0-9.]+)");
        if (!m.Success) throw new Exception("no " + key + " in " + json);
        return double.Parse(m.Groups[1].Value, CultureInfo.InvariantCulture);
    }

    private static void Expect(bool ok, string what)
    {
        if (!ok) throw new Exception("expected: " + what);
    }

    private static void Equal<T>(T expected, T actual)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
        {
            throw new Exception("expected <" + expected + ">, got <" + actual + ">");
        }
    }
}
