// Mutes a video file through the .NET binding: Mute IN OUT.
using System;
using System.Threading;
using Quenlark.Tacetra;

static class Mute
{
    static int Main(string[] args)
    {
        Console.WriteLine(Library.Version());
        Console.WriteLine(Library.Probe(args[0]));
        using (var job = new Job(args[0], args[1]))  // throws StartRefusedException (Code, Name)
        {
            var progress = new Progress<string>(report => Console.WriteLine(report));
            string result = job.WaitAsync(progress, CancellationToken.None).Result;
            Console.WriteLine(result);
            return job.State == JobState.Done ? 0 : 1;
        }  // Dispose frees the slot
    }
}
