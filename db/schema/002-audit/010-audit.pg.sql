-- The audit records are append-only: a cancellation's record, once written,
-- is never rewritten nor deleted; an event's signed bytes never change, and
-- once the authority registered it (IDSITUACAO 'R') neither its answer nor
-- its state do, and it is never deleted (only a rejected event, 'J', gives
-- way to a new one). The server's role loses the privileges it never needs,
-- and triggers hold the rest for every role.
--
-- The workstation's role creates no temporary tables in this database (nor
-- does anyone else: the application server needs none).
REVOKE UPDATE, DELETE ON CANCELAMENTONFE FROM zav_servidor;

CREATE OR REPLACE FUNCTION zav_auditoria_recusa() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    IF TG_TABLE_NAME = 'cancelamentonfe' THEN
        RAISE EXCEPTION 'CANCELAMENTONFE: o registro de cancelamento não pode ser alterado nem excluído';
    END IF;
    IF TG_OP = 'DELETE' THEN
        IF OLD.IDSITUACAO <> 'J' THEN
            RAISE EXCEPTION 'NFEEVENTO: só um evento rejeitado pode ser excluído';
        END IF;
        RETURN OLD;
    END IF;
    IF NEW.XMLENVIO <> OLD.XMLENVIO OR NEW.NRACESSONFE <> OLD.NRACESSONFE
        OR (OLD.IDSITUACAO = 'R' AND (NEW.IDSITUACAO <> 'R'
            OR NEW.XMLPROCEVENTO IS DISTINCT FROM OLD.XMLPROCEVENTO
            OR NEW.CDSTATUS IS DISTINCT FROM OLD.CDSTATUS
            OR NEW.NRPROTOCOLO IS DISTINCT FROM OLD.NRPROTOCOLO)) THEN
        RAISE EXCEPTION 'NFEEVENTO: o evento assinado e o seu registro não podem ser alterados';
    END IF;
    RETURN NEW;
END
$$;

CREATE TRIGGER CANCELAMENTONFE_SOMENTE_INCLUSAO BEFORE UPDATE OR DELETE ON CANCELAMENTONFE
    FOR EACH ROW EXECUTE FUNCTION zav_auditoria_recusa();

CREATE TRIGGER NFEEVENTO_ASSINADO BEFORE UPDATE OR DELETE ON NFEEVENTO
    FOR EACH ROW EXECUTE FUNCTION zav_auditoria_recusa();

DO $$
BEGIN
    EXECUTE format('REVOKE TEMPORARY ON DATABASE %I FROM PUBLIC', current_database());
    EXECUTE format('GRANT CONNECT ON DATABASE %I TO zav_estacao, zav_servidor', current_database());
END
$$;
