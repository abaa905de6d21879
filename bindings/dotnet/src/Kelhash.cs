// C# binding of the kelhash library for .NET hosts (Mono, .NET Framework,
// .NET): subtitle-service fingerprints and digests of files and byte arrays.
//
//     string osh = Kelhash.OpenSubtitlesHash("movie.mkv");   // 16 lowercase hex digits
//     string sh  = Kelhash.ShooterHash("movie.mkv", "movie.mkv");
//     string md5 = Kelhash.Md5(File.ReadAllBytes("movie.srt")); // 32 uppercase hex digits
//     int stable = Kelhash.StableHash("movie.avi");           // 1654360774
//
// The library keeps its result and message in two process-wide buffers and
// takes no lock. Every call here holds one lock from the call until both are
// copied, so the methods may be used from several threads at once. Failures
// raise KelhashException with the library's status and message.
//
// The native library is bound by the name "kelhash": libkelhash.so on Linux
// (Mono's dllmap in KelhashSharp.dll.config maps it to the run-time name
// libkelhash.so.1), libkelhash.dylib on macOS, kelhash.dll on Windows.
//
// The source compiles with Mono's mcs (-unsafe) and with the .NET SDK
// (KelhashSharp.csproj). The ReadOnlySpan<byte> overloads are compiled where
// KELHASH_SPAN is defined: the csproj defines it for netstandard2.1, and
// Mono's corlib has the type too (mcs -define:KELHASH_SPAN).

using System;
using System.Runtime.InteropServices;

namespace KelhashSharp
{
    /// <summary>The library's status codes (kelhash.h).</summary>
    public enum KelhashStatus
    {
        Ok = 0,
        /// <summary>Opening, positioning, sizing or reading a file failed.</summary>
        IoError = 1,
        /// <summary>A Shooter hash of 8192 bytes or less without a fallback name.</summary>
        TooSmall = 2,
        /// <summary>A null pointer, a negative size, or ranges that do not fit.</summary>
        InvalidArgument = 3,
        /// <summary>A string is not well-formed UTF-8 (for a .NET string: a lone surrogate).</summary>
        InvalidUtf8 = 4,
        /// <summary>A heap allocation failed.</summary>
        NoMemory = 5,
        /// <summary>The result does not fit into the caller's buffer.</summary>
        BufferTooSmall = 6,
    }

    /// <summary>A call into the library failed: its status, and its message
    /// as <see cref="Exception.Message"/> (e.g. IoError, "cannot open file").</summary>
    public sealed class KelhashException : Exception
    {
        public KelhashException(KelhashStatus status, string message) : base(message)
        {
            Status = status;
        }

        public KelhashStatus Status { get; private set; }
    }

    /// <summary>The library's exported functions, with the types of kelhash.h:
    /// int32_t is int, uint64_t ulong, int64_t long, pointers are pointers.</summary>
    internal static unsafe class NativeMethods
    {
        private const string Library = "kelhash";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern byte* kelhash_result();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern byte* kelhash_last_error();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_md5_buffer(byte* data, ulong len);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_md5_file(byte* path);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_opensubtitles_buffer(byte* data, ulong len);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_opensubtitles_file(byte* path);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_opensubtitles_chunks(byte* head, ulong head_len,
                                                                byte* tail, ulong tail_len,
                                                                long total_size, byte* out_hex,
                                                                ulong out_cap);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_shooter_buffer(byte* data, ulong len, byte* fallback_name);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_shooter_file(byte* path, byte* fallback_name);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_shooter_chunks(byte* block0, ulong block0_len,
                                                          byte* block1, ulong block1_len,
                                                          byte* block2, ulong block2_len,
                                                          byte* block3, ulong block3_len,
                                                          long total_size, byte* fallback_name,
                                                          byte* out_hex, ulong out_cap);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int kelhash_stable_utf8(byte* text, int* @out);
    }

    /// <summary>OpenSubtitles and Shooter hashes, MD5 and the stable string
    /// hash. A path is a string (passed to the library as UTF-8); data is a
    /// byte array holding the whole file.</summary>
    public static unsafe class Kelhash
    {
        // One lock for the library's two process-wide buffers: held from the
        // call until its result or message is copied.
        private static readonly object Gate = new object();

        // The result string is at most 131 characters; the buffers hold 256 bytes.
        private const int BufferSize = 256;

        /// <summary>The OpenSubtitles hash of a file: 16 lowercase hexadecimal digits.</summary>
        public static string OpenSubtitlesHash(string path)
        {
            byte[] p = Utf8z(path, "path");
            fixed (byte* pp = p)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_opensubtitles_file(pp));
                }
            }
        }

        /// <summary>The OpenSubtitles hash of a whole file image.</summary>
        public static string OpenSubtitlesHash(byte[] data)
        {
            NotNull(data, "data");
            fixed (byte* d = data)
            {
                return OpenSubtitlesBuffer(d, data.Length);
            }
        }

        /// <summary>The OpenSubtitles hash from bytes the caller read: head starts
        /// at the file's first byte, tail ends at its last byte, each holds at
        /// least min(totalSize, 65536) bytes; null stands for no bytes.</summary>
        public static string OpenSubtitlesHash(byte[] head, byte[] tail, long totalSize)
        {
            fixed (byte* h = head)
            fixed (byte* t = tail)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_opensubtitles_chunks(
                        h, Length(head), t, Length(tail), totalSize, null, 0));
                }
            }
        }

        /// <summary>The Shooter hash of a file: four MD5 digests joined by ";",
        /// or, for 8192 bytes or less, the stable hash of fallbackName in decimal.</summary>
        public static string ShooterHash(string path, string fallbackName = null)
        {
            byte[] p = Utf8z(path, "path");
            byte[] n = fallbackName == null ? null : Utf8z(fallbackName, "fallbackName");
            fixed (byte* pp = p)
            fixed (byte* pn = n)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_shooter_file(pp, pn));
                }
            }
        }

        /// <summary>The Shooter hash of a whole file image.</summary>
        public static string ShooterHash(byte[] data, string fallbackName = null)
        {
            NotNull(data, "data");
            fixed (byte* d = data)
            {
                return ShooterBuffer(d, data.Length, fallbackName);
            }
        }

        /// <summary>The Shooter hash from the four blocks the caller read at the
        /// offsets 4096, (S / 3) * 2, S / 3 and S - 8192 of a file of S bytes,
        /// in that order; null stands for no bytes.</summary>
        public static string ShooterHash(byte[] block0, byte[] block1, byte[] block2, byte[] block3,
                                         long totalSize, string fallbackName = null)
        {
            byte[] n = fallbackName == null ? null : Utf8z(fallbackName, "fallbackName");
            fixed (byte* b0 = block0)
            fixed (byte* b1 = block1)
            fixed (byte* b2 = block2)
            fixed (byte* b3 = block3)
            fixed (byte* pn = n)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_shooter_chunks(
                        b0, Length(block0), b1, Length(block1), b2, Length(block2),
                        b3, Length(block3), totalSize, pn, null, 0));
                }
            }
        }

        /// <summary>The MD5 digest of a file: 32 uppercase hexadecimal digits.</summary>
        public static string Md5(string path)
        {
            byte[] p = Utf8z(path, "path");
            fixed (byte* pp = p)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_md5_file(pp));
                }
            }
        }

        /// <summary>The MD5 digest of a byte array.</summary>
        public static string Md5(byte[] data)
        {
            NotNull(data, "data");
            fixed (byte* d = data)
            {
                return Md5Buffer(d, data.Length);
            }
        }

#if KELHASH_SPAN
        /// <summary>The OpenSubtitles hash of a whole file image.</summary>
        public static string OpenSubtitlesHash(ReadOnlySpan<byte> data)
        {
            fixed (byte* d = &MemoryMarshal.GetReference(data))
            {
                return OpenSubtitlesBuffer(d, data.Length);
            }
        }

        /// <summary>The Shooter hash of a whole file image.</summary>
        public static string ShooterHash(ReadOnlySpan<byte> data, string fallbackName = null)
        {
            fixed (byte* d = &MemoryMarshal.GetReference(data))
            {
                return ShooterBuffer(d, data.Length, fallbackName);
            }
        }

        /// <summary>The MD5 digest of a span of bytes.</summary>
        public static string Md5(ReadOnlySpan<byte> data)
        {
            fixed (byte* d = &MemoryMarshal.GetReference(data))
            {
                return Md5Buffer(d, data.Length);
            }
        }
#endif

        /// <summary>The stable hash (0 to 2147483647) of a string, hashed as UTF-8.</summary>
        public static int StableHash(string text)
        {
            byte[] t = Utf8z(text, "text");
            int value;
            fixed (byte* pt = t)
            {
                lock (Gate)
                {
                    int status = NativeMethods.kelhash_stable_utf8(pt, &value);
                    if (status != 0)
                    {
                        throw Failure(status);
                    }
                }
            }
            return value;
        }

        private static string OpenSubtitlesBuffer(byte* data, int length)
        {
            lock (Gate)
            {
                return Result(NativeMethods.kelhash_opensubtitles_buffer(data, (ulong)length));
            }
        }

        private static string ShooterBuffer(byte* data, int length, string fallbackName)
        {
            byte[] n = fallbackName == null ? null : Utf8z(fallbackName, "fallbackName");
            fixed (byte* pn = n)
            {
                lock (Gate)
                {
                    return Result(NativeMethods.kelhash_shooter_buffer(data, (ulong)length, pn));
                }
            }
        }

        private static string Md5Buffer(byte* data, int length)
        {
            lock (Gate)
            {
                return Result(NativeMethods.kelhash_md5_buffer(data, (ulong)length));
            }
        }

        // Called with the lock held, right after the call: the result string
        // on status 0, else the failure with the library's message.
        private static string Result(int status)
        {
            if (status != 0)
            {
                throw Failure(status);
            }
            return Text(NativeMethods.kelhash_result());
        }

        private static KelhashException Failure(int status)
        {
            return new KelhashException((KelhashStatus)status, Text(NativeMethods.kelhash_last_error()));
        }

        // A NUL-terminated string of the library's (ASCII for every result and
        // message) as a .NET string.
        private static string Text(byte* s)
        {
            int n = 0;
            while (n < BufferSize && s[n] != 0)
            {
                n++;
            }
            char[] chars = new char[n];
            for (int i = 0; i < n; i++)
            {
                chars[i] = (char)s[i];
            }
            return new string(chars);
        }

        private static ulong Length(byte[] data)
        {
            return data == null ? 0UL : (ulong)data.Length;
        }

        private static void NotNull(object value, string name)
        {
            if (value == null)
            {
                throw new ArgumentNullException(name);
            }
        }

        // A string as NUL-terminated UTF-8. A lone surrogate, which has no
        // UTF-8 form, is written as the three bytes of its code unit: the
        // library rejects them as ill-formed (status 4), where an encoder's
        // replacement character would have hashed another name.
        internal static byte[] Utf8z(string s, string name)
        {
            NotNull(s, name);
            byte[] buffer = new byte[s.Length * 3 + 1];
            int n = 0;
            for (int i = 0; i < s.Length; i++)
            {
                int c = s[i];
                if (c == 0)
                {
                    throw new ArgumentException(name + " contains a NUL character", name);
                }
                if (c < 0x80)
                {
                    buffer[n++] = (byte)c;
                }
                else if (c < 0x800)
                {
                    buffer[n++] = (byte)(0xC0 | (c >> 6));
                    buffer[n++] = (byte)(0x80 | (c & 0x3F));
                }
                else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.Length
                         && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
                {
                    int cp = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
                    i++;
                    buffer[n++] = (byte)(0xF0 | (cp >> 18));
                    buffer[n++] = (byte)(0x80 | ((cp >> 12) & 0x3F));
                    buffer[n++] = (byte)(0x80 | ((cp >> 6) & 0x3F));
                    buffer[n++] = (byte)(0x80 | (cp & 0x3F));
                }
                else
                {
                    buffer[n++] = (byte)(0xE0 | (c >> 12));
                    buffer[n++] = (byte)(0x80 | ((c >> 6) & 0x3F));
                    buffer[n++] = (byte)(0x80 | (c & 0x3F));
                }
            }
            byte[] z = new byte[n + 1];
            Array.Copy(buffer, z, n);
            return z;
        }
    }
}
