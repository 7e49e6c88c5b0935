// Stand-ins, with .NET's signatures, for the .NET types Mono lacks: compiled
// with Tacetra.cs and NETCOREAPP3_0_OR_GREATER defined, they let mcs check the
// branches only .NET builds. Nothing runs them.
using System.Reflection;
namespace System.Runtime.InteropServices
{
    public delegate IntPtr DllImportResolver(string libraryName, Assembly assembly, DllImportSearchPath? searchPath);
    public static class NativeLibrary
    {
        public static void SetDllImportResolver(Assembly assembly, DllImportResolver resolver) { }
        public static IntPtr Load(string path) { return IntPtr.Zero; }
        public static IntPtr Load(string name, Assembly assembly, DllImportSearchPath? searchPath) { return IntPtr.Zero; }
    }
}
namespace System.Runtime.Loader
{
    public class AssemblyLoadContext
    {
        public static AssemblyLoadContext GetLoadContext(Assembly a) { return null; }
        public event Action<AssemblyLoadContext> Unloading;
        // Raised here only so that the compiler sees the event used.
        public void Raise() { Unloading(this); }
    }
}
