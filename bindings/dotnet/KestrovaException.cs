using System;

namespace Kestrova
{
    /// <summary>
    /// A KestrovaAPI function returned a failure: <see cref="ResultCode"/> is
    /// its result code, the message what the code means.
    /// </summary>
    public class KestrovaException : Exception
    {
        /// <summary>KESTROVA_FAILED: the request failed.</summary>
        public const int Failed = -1;
        /// <summary>KESTROVA_NO_RESOURCE: something the library needs could not be had.</summary>
        public const int NoResource = -2;
        /// <summary>KESTROVA_NO_FILE: the hand-off file could not be created.</summary>
        public const int NoFile = -3;
        /// <summary>The shell's SE_ERR_NOASSOC: no application handles "dial" on .vcf files.</summary>
        public const int NoDialHandler = 31;

        /// <summary>Creates the exception for a function's failure.</summary>
        public KestrovaException(string function, int resultCode)
            : base(function + " returned " + resultCode + ": " + Meaning(resultCode))
        {
            Function = function;
            ResultCode = resultCode;
        }

        /// <summary>The KestrovaAPI function that failed, e.g. kestrovaHookOff.</summary>
        public string Function { get; }

        /// <summary>Its result code: -1, -2, -3, or the shell's error 1 to 32.</summary>
        public int ResultCode { get; }

        /// <summary>What a result code means.</summary>
        public static string Meaning(int resultCode)
        {
            switch (resultCode) {
                case 0: return "success.";
                case Failed:
                    return "the request failed: the card would not fit or did not reach the disk whole, the phone " +
                           "application could not be reached or did not accept the command, or the call was " +
                           "refused at once.";
                case NoResource:
                    return "something the library needs could not be had: the temporary directory, memory, the " +
                           "DDE instance, a name handle, a handle on the calling thread.";
                case NoFile: return "the hand-off file could not be created.";
                case NoDialHandler:
                    return "the shell's \"dial\" action failed (SE_ERR_NOASSOC): no application is registered for " +
                           "the \"dial\" verb on .vcf files.";
                default:
                    return resultCode > 0 && resultCode <= 32
                               ? "the shell's \"dial\" action failed with the shell's error " + resultCode + "."
                               : "an unknown result code.";
            }
        }
    }
}
