using System;
using System.Collections.Generic;

namespace Kestrova
{
    /// <summary>A notification of the phone application: a name and its arguments.</summary>
    public sealed class NotificationEventArgs : EventArgs
    {
        internal NotificationEventArgs(string[] tokens)
        {
            Name = tokens[0];
            var arguments = new string[tokens.Length - 1];
            Array.Copy(tokens, 1, arguments, 0, arguments.Length);
            Arguments = arguments;
        }

        /// <summary>The notification's name, e.g. <c>call</c>.</summary>
        public string Name { get; }

        /// <summary>Its arguments in order, e.g. <c>ringing</c>, a name, a number.</summary>
        public IReadOnlyList<string> Arguments { get; }

        /// <summary>The name and the quoted arguments: <c>call "ringing", "Ann", "+1 555 0100"</c>.</summary>
        public override string ToString()
        {
            if (Arguments.Count == 0) return Name;
            return Name + " \"" + string.Join("\", \"", Arguments) + "\"";
        }
    }

    /// <summary>Where the subscription to the phone application stands.</summary>
    public enum PhoneStatus
    {
        /// <summary>Not subscribed yet: the phone application is starting, or the last try failed (see the error).</summary>
        Connecting,
        /// <summary>Subscribed: notifications arrive.</summary>
        Subscribed,
        /// <summary>The phone application has gone; subscribed again once it is back.</summary>
        Gone,
    }

    /// <summary>The subscription's new status.</summary>
    public sealed class PhoneStatusEventArgs : EventArgs
    {
        internal PhoneStatusEventArgs(PhoneStatus status, KestrovaException error)
        {
            Status = status;
            Error = error;
        }

        /// <summary>The new status.</summary>
        public PhoneStatus Status { get; }

        /// <summary>While connecting: why the last try failed; otherwise null.</summary>
        public KestrovaException Error { get; }
    }

    /// <summary>An exception that an event handler of the phone threw.</summary>
    public sealed class HandlerFailedEventArgs : EventArgs
    {
        internal HandlerFailedEventArgs(Exception exception)
        {
            Exception = exception;
        }

        /// <summary>What the handler threw.</summary>
        public Exception Exception { get; }
    }
}
