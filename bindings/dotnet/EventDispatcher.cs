using System;
using System.Collections.Concurrent;
using System.Threading;

namespace Kestrova
{
    /// <summary>
    /// Raises events one after another, in the order they were posted,
    /// through a SynchronizationContext or else on the thread pool. One
    /// queue, drained by one callback at a time, keeps the order whatever
    /// the context or the pool does with concurrent posts.
    /// </summary>
    internal sealed class EventDispatcher
    {
        readonly SynchronizationContext context;
        readonly Action<Exception> handlerFailed;
        readonly ConcurrentQueue<Action> pending = new ConcurrentQueue<Action>();
        readonly SendOrPostCallback drainCallback;
        readonly WaitCallback drainOnPool;
        int draining;

        internal EventDispatcher(SynchronizationContext context, Action<Exception> handlerFailed)
        {
            this.context = context;
            this.handlerFailed = handlerFailed;
            drainCallback = _ => Drain();
            drainOnPool = _ => Drain();
        }

        internal void Post(Action raise)
        {
            pending.Enqueue(raise);
            if (Interlocked.CompareExchange(ref draining, 1, 0) == 0) Schedule();
        }

        void Schedule()
        {
            if (context != null) context.Post(drainCallback, null);
            else ThreadPool.QueueUserWorkItem(drainOnPool);
        }

        void Drain()
        {
            do {
                while (pending.TryDequeue(out Action raise)) {
                    try {
                        raise();
                    } catch (Exception e) {
                        handlerFailed(e);
                    }
                }
                Volatile.Write(ref draining, 0);
                // A post between the last dequeue and the reset found the
                // flag set and scheduled nothing: take it over.
            } while (!pending.IsEmpty && Interlocked.CompareExchange(ref draining, 1, 0) == 0);
        }
    }
}
