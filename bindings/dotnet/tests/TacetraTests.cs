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
using System.Text.RegularExpressions;
using Quenlark.Tacetra;

internal static class TacetraTests
{
    private const int LongSeconds = 20;
    private static string inputs;
    private static string longInput;
    private static string shortInput;

    private static int Main()
    {
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
                for (int id = 0; id < Native.MaxJobs; id++) Native.Free(id);
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
