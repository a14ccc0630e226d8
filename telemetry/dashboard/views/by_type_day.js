function (doc) {
  if (typeof doc.type !== 'string' || typeof doc.timestamp !== 'number') return;
  emit([doc.type, new Date(doc.timestamp).toISOString().slice(0, 10)], null);
}
